// What a screen reader reaches in a list view: one item for each row the view
// shows, in the view's order, each named by the row's AccessibleTextRole.
//
// Qt's own interface for item views keeps its items by position and is told of
// re-sorts and filters only while the platform says a screen reader is active;
// otherwise, and whenever such a tool walks the list as it is re-sorted, items
// name rows that have moved or are gone. Here an item follows its row (the
// model's persistent index) wherever a re-sort takes it, and the item at a
// position is looked up afresh whenever the rows have moved.
#pragma once

class QListView;

namespace ondrel::fleet {

// Call right after making the view, before anything asks for its interface.
void MakeRowsAccessible(QListView* view);

} // namespace ondrel::fleet
