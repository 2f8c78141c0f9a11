// Icon 128 of the resources, in both of its sizes: the application's, the main
// window's and the about box's.
#pragma once

#include <QIcon>

namespace ondrel {

QIcon MainIcon();

} // namespace ondrel
