// The busy pointer of a wait that keeps the console's thread blocked.
#pragma once

namespace ondrel {

// Shows the busy pointer over every window of the application (true) or takes
// it back (false). Runs inside the wait, so it processes no window messages: it
// hands the change straight to the window system.
void ShowBusyPointer(bool busy);

} // namespace ondrel
