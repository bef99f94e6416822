#include "finder/helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "finder_wire.h"

namespace seekwell {

namespace {

namespace hp = finder_wire;
using Clock = FinderHelperProcess::Clock;
using std::chrono::milliseconds;

constexpr int kFirstClosedFd = hp::kHelperStreamFd + 1;
constexpr const char kNullDevice[] = "/dev/null";
// A killed helper is gone within moments; this bounds the wait for it in
// case the kernel is slow to take it down.
constexpr milliseconds kReapLimit{1000};
constexpr std::size_t kReadChunkBytes = 64 * 1024;
// A read that brings less than this is followed by a pause before the stream
// is watched again: a helper that trickles bytes cannot wake the host's
// thread for each of them. Its exit still wakes the thread at once.
constexpr std::size_t kTrickleBytes = 4096;
constexpr milliseconds kTricklePause{10};
// Without a process handle the helper's end is checked this often, and more
// often once it has been killed.
constexpr milliseconds kExitCheckInterval{50};
constexpr milliseconds kEndingCheckInterval{1};

// Debian 12's C library declares its pidfd wrappers without C linkage, so
// the system calls are made directly. Both may be refused (a seccomp profile,
// a kernel before 5.3): the process id then serves.
int OpenProcessHandle(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int KillThroughHandle(int processFd)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, processFd, SIGKILL, nullptr, 0));
}

void CloseIfOpen(int& fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

class UniqueFd {
public:
    UniqueFd() = default;
    ~UniqueFd() { CloseIfOpen(fd_); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    int Release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd)
    {
        CloseIfOpen(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

int RemainingMs(Clock::time_point until)
{
    const auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    return static_cast<int>(std::chrono::ceil<milliseconds>(left).count());
}

int PollRetrying(pollfd* fds, nfds_t count, int timeoutMs)
{
    const Clock::time_point until = Clock::now() + milliseconds(timeoutMs);
    for (;;) {
        const int ready = poll(fds, count, timeoutMs);
        if (ready >= 0 || errno != EINTR) {
            return ready;
        }
        timeoutMs = RemainingMs(until);
    }
}

bool SetNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// The helper's ends are moved above the numbers they take in the helper, so
// that placing one there never overwrites the other (a host that closed its
// standard streams hands out 0 to 3 first).
bool MoveAboveHelperNumbers(UniqueFd& fd)
{
    if (fd.Get() > hp::kHelperStreamFd) {
        return true;
    }
    const int moved = fcntl(fd.Get(), F_DUPFD_CLOEXEC, kFirstClosedFd);
    fd.Reset(moved);
    return moved >= 0;
}

// Every end is close-on-exec: a program another host thread starts
// meanwhile inherits none of them.
bool MakeChannels(UniqueFd& requestOurs, UniqueFd& requestTheirs, UniqueFd& streamOurs, UniqueFd& streamTheirs)
{
    int request[2];
    int stream[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, request) != 0) {
        return false;
    }
    requestOurs.Reset(request[0]);
    requestTheirs.Reset(request[1]);
    if (pipe2(stream, O_CLOEXEC) != 0) {
        return false;
    }
    streamOurs.Reset(stream[0]);
    streamTheirs.Reset(stream[1]);
    // The helper's writes to its end block as usual.
    return SetNonBlocking(streamOurs.Get()) && MoveAboveHelperNumbers(requestTheirs) &&
           MoveAboveHelperNumbers(streamTheirs);
}

class SpawnSettings {
public:
    SpawnSettings(int requestFd, int streamFd)
    {
        ready_ = posix_spawn_file_actions_init(&actions_) == 0;
        if (!ready_) {
            return;
        }
        if (posix_spawnattr_init(&attributes_) != 0) {
            posix_spawn_file_actions_destroy(&actions_);
            ready_ = false;
            return;
        }
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        // The host's handlers and ignored signals, and the calling thread's
        // mask, are the host's business: the helper starts from defaults.
        // Moving an end onto its number clears its close-on-exec.
        ready_ = posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0 &&
                 posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
                 posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
                 posix_spawn_file_actions_adddup2(&actions_, requestFd, hp::kHelperRequestFd) == 0 &&
                 posix_spawn_file_actions_adddup2(&actions_, streamFd, hp::kHelperStreamFd) == 0 &&
                 posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, kNullDevice, O_WRONLY, 0) == 0 &&
                 posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, kNullDevice, O_WRONLY, 0) == 0 &&
                 posix_spawn_file_actions_addclosefrom_np(&actions_, kFirstClosedFd) == 0;
    }
    ~SpawnSettings()
    {
        posix_spawnattr_destroy(&attributes_);
        posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

    bool IsReady() const { return ready_; }
    const posix_spawn_file_actions_t* Actions() const { return &actions_; }
    const posix_spawnattr_t* Attributes() const { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attributes_{};
    bool ready_ = false;
};

enum class Drain { Open, Ended };

// Reads what the pipe holds now into reader; bytesRead counts them.
Drain DrainPipe(int fd, std::string& buffer, HelperStreamReader& reader, std::size_t& bytesRead)
{
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got > 0) {
            bytesRead += static_cast<std::size_t>(got);
            if (reader.Feed(buffer.data(), static_cast<std::size_t>(got)) == HelperStreamReader::State::Invalid) {
                return Drain::Ended;
            }
            continue;
        }
        if (got == 0) {
            return Drain::Ended;
        }
        if (errno == EINTR) {
            continue;
        }
        // EAGAIN: a copy of the write end may live on in a child the host
        // forked meanwhile, so an empty pipe is not yet an ended one.
        return errno == EAGAIN ? Drain::Open : Drain::Ended;
    }
}

}  // namespace

FinderHelperProcess::~FinderHelperProcess()
{
    KillAndReap();
    CloseIfOpen(requestFd_);
    CloseIfOpen(streamFd_);
    CloseIfOpen(processFd_);
}

bool FinderHelperProcess::Start(const std::string& helperPath, const std::vector<std::string>& arguments)
{
    // A relative path would be resolved against whatever folder the host is in.
    if (pid_ != -1 || helperPath.empty() || helperPath[0] != '/') {
        return false;
    }
    try {
        UniqueFd requestOurs;
        UniqueFd requestTheirs;
        UniqueFd streamOurs;
        UniqueFd streamTheirs;
        if (!MakeChannels(requestOurs, requestTheirs, streamOurs, streamTheirs)) {
            return false;
        }
        const SpawnSettings spawn(requestTheirs.Get(), streamTheirs.Get());
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(helperPath.c_str()));
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        // The host's environment could steer the UPnP stack (debug output,
        // fatal warnings, proxies): the helper gets none of it.
        char* emptyEnvironment[] = {nullptr};
        pid_t pid = 0;
        if (!spawn.IsReady() || posix_spawn(&pid, helperPath.c_str(), spawn.Actions(), spawn.Attributes(), argv.data(),
                                            emptyEnvironment) != 0) {
            return false;
        }
        pid_ = pid;
        processFd_ = OpenProcessHandle(pid);
        requestFd_ = requestOurs.Release();
        streamFd_ = streamOurs.Release();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool FinderHelperProcess::SendRequest(const std::string& request)
{
    if (requestFd_ < 0) {
        return false;
    }
    // An empty request (the probe's) is only the channel's end: the helper may have answered
    // and exited already, and a send to its closed end would fail a helper that did well.
    ssize_t sent = 0;
    while (!request.empty()) {
        sent = send(requestFd_, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0 || errno != EINTR) {
            break;
        }
    }
    CloseIfOpen(requestFd_);
    return sent == static_cast<ssize_t>(request.size());
}

bool FinderHelperProcess::ReadStream(Clock::time_point deadline, HelperStreamReader& reader)
{
    if (pid_ == -1) {
        return false;
    }
    try {
        std::string buffer(kReadChunkBytes, '\0');
        bool streamEnded = false;
        Clock::time_point streamQuietUntil;
        while (!streamEnded && !CheckExited()) {
            const Clock::time_point now = Clock::now();
            if (now >= deadline) {
                return false;
            }
            const bool watchStream = now >= streamQuietUntil;
            Clock::time_point wakeUp = watchStream ? deadline : std::min(deadline, streamQuietUntil);
            if (processFd_ < 0) {
                wakeUp = std::min(wakeUp, now + kExitCheckInterval);
            }
            pollfd fds[2] = {{processFd_, POLLIN, 0}, {watchStream ? streamFd_ : -1, POLLIN, 0}};
            if (PollRetrying(fds, 2, RemainingMs(wakeUp)) < 0) {
                return false;
            }
            if (fds[1].revents != 0) {
                std::size_t bytesRead = 0;
                streamEnded = DrainPipe(streamFd_, buffer, reader, bytesRead) == Drain::Ended;
                // After the end frame only the stream's end (or bytes that
                // make it invalid) can come: that is watched without a pause.
                if (bytesRead < kTrickleBytes && reader.GetState() == HelperStreamReader::State::Reading) {
                    streamQuietUntil = Clock::now() + kTricklePause;
                }
            }
            if (fds[0].revents != 0) {
                Reap();
            }
        }
        // Whatever the helper wrote before it ended is in the pipe by now.
        if (!streamEnded) {
            std::size_t bytesRead = 0;
            DrainPipe(streamFd_, buffer, reader, bytesRead);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    // The helper's part is done once its stream has ended; it may still be
    // tearing down its UPnP stack, which the host does not wait for.
    KillAndReap();
    return reader.Finish() == HelperStreamReader::State::Complete && ending_ != Ending::Failed;
}

FinderHelperProcess::Ending FinderHelperProcess::EndingOf(bool exitedNormally, int value)
{
    if (exitedNormally) {
        return value == 0 ? Ending::Clean : Ending::Failed;
    }
    return value == SIGKILL ? Ending::Killed : Ending::Failed;
}

// With a process handle the handle tells; without one, a wait that does not
// block asks.
bool FinderHelperProcess::CheckExited()
{
    if (ending_ == Ending::Running && processFd_ < 0) {
        int status = 0;
        pid_t waited = 0;
        do {
            waited = waitpid(pid_, &status, WNOHANG);
        } while (waited < 0 && errno == EINTR);
        if (waited < 0) {
            // ECHILD: the host ignores SIGCHLD or reaped the helper itself;
            // its status is lost, and the stream alone decides.
            ending_ = errno == ECHILD ? Ending::Clean : Ending::Failed;
        } else if (waited != 0) {
            ending_ = WIFEXITED(status) ? EndingOf(true, WEXITSTATUS(status)) : EndingOf(false, WTERMSIG(status));
        }
    }
    return ending_ != Ending::Running;
}

// Called once the process handle is readable: the helper has ended.
void FinderHelperProcess::Reap()
{
    siginfo_t info{};
    int result = 0;
    do {
        result = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(processFd_), &info, WEXITED);
    } while (result < 0 && errno == EINTR);
    if (result < 0 && errno == EINVAL) {
        // A kernel with process handles but without waits on them (5.3).
        CloseIfOpen(processFd_);
        CheckExited();
        return;
    }
    if (result < 0) {
        ending_ = errno == ECHILD ? Ending::Clean : Ending::Failed;
        return;
    }
    ending_ = EndingOf(info.si_code == CLD_EXITED, info.si_status);
}

void FinderHelperProcess::KillAndReap()
{
    if (pid_ == -1 || CheckExited()) {
        return;
    }
    // Without a handle the process id is still ours: the helper has not
    // been reaped (CheckExited just saw it unreaped), unless the host reaps
    // it in this very moment.
    if (processFd_ < 0 || KillThroughHandle(processFd_) != 0) {
        kill(pid_, SIGKILL);
    }
    const Clock::time_point limit = Clock::now() + kReapLimit;
    while (ending_ == Ending::Running && Clock::now() < limit) {
        if (processFd_ >= 0) {
            pollfd process{processFd_, POLLIN, 0};
            if (PollRetrying(&process, 1, RemainingMs(limit)) > 0) {
                Reap();
            }
        } else if (!CheckExited()) {
            PollRetrying(nullptr, 0, static_cast<int>(kEndingCheckInterval.count()));
        }
    }
    // Not gone within the limit: given up on, once.
    if (ending_ == Ending::Running) {
        ending_ = Ending::Failed;
    }
}

bool RunFinderHelper(const std::string& helperPath, const std::vector<std::string>& arguments, milliseconds limit,
                     HelperStreamReader& reader)
{
    const Clock::time_point deadline = Clock::now() + limit;
    FinderHelperProcess helper;
    return helper.Start(helperPath, arguments) && helper.SendRequest(std::string()) &&
           helper.ReadStream(deadline, reader);
}

}  // namespace seekwell
