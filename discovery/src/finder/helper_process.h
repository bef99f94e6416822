// Stand-in for the platform finder's own service process: one run of the
// finder helper, started and ended in a way that is sound inside any host.
#ifndef SEEKWELL_FINDER_HELPER_PROCESS_H
#define SEEKWELL_FINDER_HELPER_PROCESS_H

#include <chrono>
#include <string>
#include <vector>

#include "finder/helper_stream_reader.h"

namespace seekwell {

struct HelperRequest {
    std::string strHelperPath;
    std::vector<std::string> arguments;  // after argv[0], which is the path
    // Counted from the start: a helper still running then is killed.
    std::chrono::milliseconds deadline;
};

// Starts the helper with posix_spawn: an empty environment, the stream's
// pipe as its only inherited descriptor, /dev/null for 0 to 2, default
// signal dispositions and an empty signal mask. Feeds what it writes to
// reader until the stream is complete and the helper has exited, or until
// the deadline. The helper has exited or been killed, and is reaped unless
// the host took its status first, before this returns; SIGCHLD plays no part.
// True when the stream was complete, nothing followed it, and the helper
// exited 0 or its status went to the host.
bool RunFinderHelper(const HelperRequest& request, HelperStreamReader& reader);

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_HELPER_PROCESS_H
