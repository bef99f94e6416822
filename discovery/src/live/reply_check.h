// What the live search makes of one search reply before it fetches anything:
// the robot rules every search shares, then its own rule that a description
// is fetched only from the device that answered, on the interface it asked.
#ifndef SEEKWELL_LIVE_REPLY_CHECK_H
#define SEEKWELL_LIVE_REPLY_CHECK_H

#include <netinet/in.h>
#include <seekwell/seekwell.h>

#include <string>

namespace seekwell::live {

struct ReplyVerdict {
    seekwell_skip_reason skip = SEEKWELL_SKIP_NONE;  // NONE: fetch the description
    std::string reason;                              // words for a skip
    std::string location;                            // the LOCATION URL, when the reply has one
};

// text is the NUL-terminated datagram; sender the address it came from;
// onSearchInterface whether it arrived where its search went out.
ReplyVerdict CheckReply(const char* text, in_addr sender, bool onSearchInterface);

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_REPLY_CHECK_H
