// The three sets of window-message identifiers registered at load.
#ifndef SEEKWELL_WINDOW_MESSAGES_INTERNAL_H
#define SEEKWELL_WINDOW_MESSAGES_INTERNAL_H

#include <seekwell/window_messages.h>

// Static objects that depend on each other's construction: the names are
// registered before the application object exists.
#define SEEKWELL_INIT_PRIORITY_WINDOW_MESSAGES 1001
#define SEEKWELL_INIT_PRIORITY_APP 1002

namespace seekwell {

// One registration pass over the 17 names, in their order; the identifiers
// are kept for the hosts' shared vocabulary, not read by the library.
class WindowMessageSet {
public:
    WindowMessageSet();
    unsigned int ids[SEEKWELL_WM_NAME_COUNT];
};

// Three identical passes, kept as the library has always made them: a name
// registered again gets its first identifier back, so the repeats change nothing.
extern const WindowMessageSet kWindowMessagesFirst;
extern const WindowMessageSet kWindowMessagesSecond;
extern const WindowMessageSet kWindowMessagesThird;

}  // namespace seekwell

#endif  // SEEKWELL_WINDOW_MESSAGES_INTERNAL_H
