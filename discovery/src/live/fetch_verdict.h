// What a finished description fetch makes of its responder for the live
// search: a robot, or the reason it is left out.
#ifndef SEEKWELL_LIVE_FETCH_VERDICT_H
#define SEEKWELL_LIVE_FETCH_VERDICT_H

#include <seekwell/seekwell.h>

#include <string>

#include "fetch/description_fetch.h"
#include "live/fetch_pool.h"

namespace seekwell::live {

struct FetchVerdict {
    seekwell_skip_reason skip = SEEKWELL_SKIP_NONE;  // NONE: a robot
    std::string reason;
    int httpStatus = 0;  // a skip after a fetch that ended well: its status, 200 included
};

// document is the body up to its first NUL. A robot UDN decides, as on the
// blocking call's built-in path, whatever the status; otherwise the most
// telling reason is given, and a description that is empty, not XML or
// without a UDN is told as such.
FetchVerdict JudgeFetch(const platform::FetchOutcome& outcome, const std::string& document);

// What a finished fetch read: a robot's UDN (cut to what events carry) and
// name (as RobotName gives it, also when the read ended inside it), or why
// the responder is left out.
ReadResult ReadOf(const FetchPool::Finished& finished, const FetchLanes& lanes);

// Whether a device was there: it took the connection, or refused it.
bool ReachedADevice(const ReadResult& result);

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_FETCH_VERDICT_H
