// Static objects of the library that depend on each other's construction are
// ordered by these priorities: the window-message names are registered before
// the application object exists.
#ifndef SEEKWELL_LOAD_ORDER_H
#define SEEKWELL_LOAD_ORDER_H

#define SEEKWELL_INIT_PRIORITY_WINDOW_MESSAGES 1001
#define SEEKWELL_INIT_PRIORITY_APP 1002

#endif  // SEEKWELL_LOAD_ORDER_H
