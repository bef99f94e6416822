// The three sets of window-message identifiers registered at load.
#ifndef SEEKWELL_WINDOW_MESSAGES_INTERNAL_H
#define SEEKWELL_WINDOW_MESSAGES_INTERNAL_H

#include <seekwell/window_messages.h>

namespace seekwell {

// One registration pass over the 17 names, in their order; the identifiers
// are kept for the hosts' shared vocabulary, not read by the library.
class CWindowMessageSet {
public:
    CWindowMessageSet();
    unsigned int m_auMessage[SEEKWELL_WM_NAME_COUNT];
};

extern const CWindowMessageSet g_WindowMessagesFirst;
extern const CWindowMessageSet g_WindowMessagesSecond;
extern const CWindowMessageSet g_WindowMessagesThird;

}  // namespace seekwell

#endif  // SEEKWELL_WINDOW_MESSAGES_INTERNAL_H
