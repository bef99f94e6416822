#include "finder/helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "finder_wire.h"

namespace seekwell {

namespace {

namespace hp = finder_wire;
using Clock = std::chrono::steady_clock;

constexpr int kFirstClosedFd = hp::kHelperStreamFd + 1;
constexpr const char kNullDevice[] = "/dev/null";
// A killed helper is gone within moments; this bounds the wait for it in
// case the kernel is slow to take it down.
constexpr std::chrono::milliseconds kReapLimit{1000};
constexpr std::size_t kReadChunkBytes = 64 * 1024;

// Debian 12's C library declares its pidfd wrappers without C linkage, so
// the system calls are made directly.
int OpenProcessHandle(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

void KillThroughHandle(int processFd) { syscall(SYS_pidfd_send_signal, processFd, SIGKILL, nullptr, 0); }

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool IsValid() const { return fd_ >= 0; }
    void Reset(int fd = -1)
    {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

int RemainingMs(Clock::time_point deadline)
{
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

int PollRetrying(pollfd* fds, nfds_t count, Clock::time_point deadline)
{
    for (;;) {
        const int ready = poll(fds, count, RemainingMs(deadline));
        if (ready >= 0 || errno != EINTR) {
            return ready;
        }
    }
}

// The pipe's read end stays with the library, non-blocking; the helper's
// writes to the other end block as usual.
bool MakeStreamPipe(UniqueFd& readEnd, UniqueFd& writeEnd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.Reset(fds[0]);
    writeEnd.Reset(fds[1]);
    const int flags = fcntl(readEnd.Get(), F_GETFL);
    return flags >= 0 && fcntl(readEnd.Get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

class SpawnSettings {
public:
    explicit SpawnSettings(int streamWriteFd)
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
        // The stream is placed first, as the write end may hold one of the
        // numbers 0 to 2 in a host that closed its standard streams; moving
        // it onto its own number clears its close-on-exec.
        ready_ = posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0 &&
                 posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
                 posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
                 posix_spawn_file_actions_adddup2(&actions_, streamWriteFd, hp::kHelperStreamFd) == 0 &&
                 posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, kNullDevice, O_RDONLY, 0) == 0 &&
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

// One started helper. Ends it on every way out: killed if it still runs,
// reaped unless the host took it first.
class RunningHelper {
public:
    RunningHelper() = default;
    ~RunningHelper() { End(); }
    RunningHelper(const RunningHelper&) = delete;
    RunningHelper& operator=(const RunningHelper&) = delete;

    bool Start(const HelperRequest& request, int streamWriteFd)
    {
        const SpawnSettings settings(streamWriteFd);
        if (!settings.IsReady()) {
            return false;
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(request.strHelperPath.c_str()));
        for (const std::string& argument : request.arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        // The host's environment could steer the UPnP stack (debug output,
        // fatal warnings, proxies): the helper gets none of it.
        char* emptyEnvironment[] = {nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, request.strHelperPath.c_str(), settings.Actions(), settings.Attributes(), argv.data(),
                        emptyEnvironment) != 0) {
            return false;
        }
        process_.Reset(OpenProcessHandle(pid));
        if (!process_.IsValid()) {
            if (errno == ESRCH) {
                // Already gone and reaped by the host: only its stream is left.
                exited_ = true;
                return true;
            }
            // Without a handle that cannot outlive the process, a later kill
            // could hit another one: end it now, while the pid is surely ours.
            kill(pid, SIGKILL);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            exited_ = true;
            return false;
        }
        return true;
    }

    int ProcessFd() const { return exited_ ? -1 : process_.Get(); }
    bool HasExited() const { return exited_; }
    bool ExitedCleanly() const { return exited_ && status_clean_; }

    // Called once ProcessFd() is readable: the helper has ended.
    void Reap()
    {
        siginfo_t info{};
        int result = 0;
        do {
            result = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(process_.Get()), &info, WEXITED);
        } while (result < 0 && errno == EINTR);
        // ECHILD: the host ignores SIGCHLD or reaped the helper itself; its
        // status is lost, and the stream alone decides.
        status_clean_ = result < 0 ? errno == ECHILD : info.si_code == CLD_EXITED && info.si_status == 0;
        exited_ = true;
    }

    void End()
    {
        if (exited_ || !process_.IsValid()) {
            return;
        }
        KillThroughHandle(process_.Get());
        pollfd process{process_.Get(), POLLIN, 0};
        if (PollRetrying(&process, 1, Clock::now() + kReapLimit) > 0) {
            Reap();
        }
        status_clean_ = false;
        exited_ = true;
    }

private:
    UniqueFd process_;  // a pidfd
    bool exited_ = false;
    bool status_clean_ = true;
};

enum class Drain { Open, Ended };

// Reads what the pipe holds now into reader.
Drain DrainPipe(int fd, std::string& buffer, HelperStreamReader& reader)
{
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got > 0) {
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

bool ReadUntilDone(RunningHelper& helper, int streamFd, Clock::time_point deadline, HelperStreamReader& reader)
{
    std::string buffer(kReadChunkBytes, '\0');
    bool bStreamEnded = false;
    while (!helper.HasExited() && reader.GetState() != HelperStreamReader::State::Invalid) {
        pollfd fds[2] = {{helper.ProcessFd(), POLLIN, 0}, {bStreamEnded ? -1 : streamFd, POLLIN, 0}};
        const int ready = PollRetrying(fds, 2, deadline);
        if (ready <= 0) {
            return false;  // the deadline passed
        }
        if (fds[1].revents != 0) {
            bStreamEnded = DrainPipe(streamFd, buffer, reader) == Drain::Ended;
        }
        if (fds[0].revents != 0) {
            helper.Reap();
        }
    }
    // Whatever the helper wrote before it ended is in the pipe by now.
    if (!bStreamEnded) {
        DrainPipe(streamFd, buffer, reader);
    }
    return reader.Finish() == HelperStreamReader::State::Complete && helper.ExitedCleanly();
}

}  // namespace

bool RunFinderHelper(const HelperRequest& request, HelperStreamReader& reader)
{
    const Clock::time_point deadline = Clock::now() + request.deadline;
    try {
        UniqueFd readEnd;
        UniqueFd writeEnd;
        if (!MakeStreamPipe(readEnd, writeEnd)) {
            return false;
        }
        RunningHelper helper;
        const bool bStarted = helper.Start(request, writeEnd.Get());
        writeEnd.Reset();  // the helper's copy is the only one left
        return bStarted && ReadUntilDone(helper, readEnd.Get(), deadline, reader);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace seekwell
