// Stand-in for the platform finder's own service process: the finder helper,
// started and ended in a way that is sound inside any host.
#ifndef SEEKWELL_FINDER_HELPER_PROCESS_H
#define SEEKWELL_FINDER_HELPER_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "finder/helper_stream_reader.h"

namespace seekwell {

// One started helper. Started with posix_spawn: an empty environment, its
// request pipe as descriptor 0, /dev/null for 1 and 2, the stream's pipe as
// descriptor 3 and nothing else, default signal dispositions and an empty
// signal mask. Waited for through a process handle where the system gives
// one, else by its process id; SIGCHLD plays no part. The request channel is
// a local socket, so that a helper gone before its request costs no SIGPIPE. However it ends, the
// helper has exited or been killed, and is reaped unless the host took its
// status first, before the object is gone.
class FinderHelperProcess {
public:
    using Clock = std::chrono::steady_clock;

    FinderHelperProcess() = default;
    ~FinderHelperProcess();
    FinderHelperProcess(const FinderHelperProcess&) = delete;
    FinderHelperProcess& operator=(const FinderHelperProcess&) = delete;

    // Starts the program at helperPath, which must be absolute, with these
    // arguments after argv[0]. False when it could not be started.
    bool Start(const std::string& helperPath, const std::vector<std::string>& arguments);

    // Writes request to the helper's descriptor 0 and closes it. False when
    // it could not be handed over whole.
    bool SendRequest(const std::string& request);

    // Feeds what the helper writes to reader until the stream ends (the
    // helper closed it or exited) or turns invalid, then kills the helper if
    // it still runs and reaps it: whatever it tears down after its stream is
    // not waited for. At the deadline the helper is killed. True when the
    // stream was complete, nothing followed it, and the helper had not failed
    // by itself: it exited 0, was killed with SIGKILL once its stream had
    // ended, or its status went to the host.
    bool ReadStream(Clock::time_point deadline, HelperStreamReader& reader);

private:
    // How the helper ended, as far as its status tells.
    enum class Ending { Running, Clean, Killed, Failed };

    // exitedNormally: value is the exit status, else the signal that ended it.
    static Ending EndingOf(bool exitedNormally, int value);
    bool CheckExited();
    void Reap();
    void KillAndReap();

    pid_t pid_ = -1;
    int processFd_ = -1;  // a pidfd, or -1 where the system gives none
    int requestFd_ = -1;
    int streamFd_ = -1;
    Ending ending_ = Ending::Running;
};

// One run of a helper that needs no request beyond its arguments (the
// probe): started, read until limit has passed, ended.
bool RunFinderHelper(const std::string& helperPath, const std::vector<std::string>& arguments,
                     std::chrono::milliseconds limit, HelperStreamReader& reader);

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_HELPER_PROCESS_H
