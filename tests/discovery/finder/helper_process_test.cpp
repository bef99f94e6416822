// The finder helper run against a fake that misbehaves in every way the host must survive: the
// answer, the time taken, and what the run leaves in the test process (children, descriptors,
// threads). No network is touched.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "finder/helper_device_finder.h"
#include "finder/helper_process.h"
#include "finder_wire.h"

namespace seekwell {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
namespace protocol = finder_wire;

constexpr milliseconds kProbeDeadline{1000};
constexpr milliseconds kSearchDeadline{1500};
constexpr unsigned int kSearchWindowMs = 1000;
// Spawning, killing and reaping on a loaded machine.
constexpr milliseconds kSlack{500};
constexpr const char kDeviceType[] = "upnp:rootdevice";

int CountEntries(const char* directory)
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(directory)) {
        ++n;
    }
    return n;
}

bool NoChildLeft() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

struct RunOutcome {
    bool succeeded = false;
    DeviceList devices;
    milliseconds elapsed{0};
};

class HelperProcessTest : public ::testing::Test {
protected:
    // One copy of the fake per test process: it finds its mode file beside its real path.
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/seekwell-helper-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        s_directory = pattern;
        fs::copy_file(SEEKWELL_TEST_FAKE_HELPER, HelperPath());
    }
    static void TearDownTestSuite() { fs::remove_all(s_directory); }

    static fs::path HelperPath() { return s_directory / "seekwell-finder-gupnp"; }

    static void SetMode(const std::string& mode) { std::ofstream(s_directory / "fake-helper-mode") << mode << '\n'; }

    // A probe, or a search as the finder runs one: started, then given its request.
    static RunOutcome Run(bool probe, milliseconds deadline)
    {
        HelperStreamReader reader;
        RunOutcome outcome;
        const auto start = std::chrono::steady_clock::now();
        if (probe) {
            outcome.succeeded = RunFinderHelper(HelperPath().string(), {protocol::kProbeArgument}, deadline, reader);
        } else {
            FinderHelperProcess helper;
            outcome.succeeded = helper.Start(HelperPath().string(), {protocol::kSearchArgument}) &&
                                helper.SendRequest(protocol::SearchRequest(kDeviceType, kSearchWindowMs)) &&
                                helper.ReadStream(start + deadline, reader);
        }
        outcome.elapsed = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
        outcome.devices = reader.TakeDevices();
        return outcome;
    }

    // Runs one request and checks what every run must leave behind: a return within the
    // deadline, no child, and the test process's threads and descriptors as before.
    static RunOutcome RunAndCheckHost(bool probe, milliseconds deadline)
    {
        const int threadsBefore = CountEntries("/proc/self/task");
        const int fdsBefore = CountEntries("/proc/self/fd");
        RunOutcome outcome = Run(probe, deadline);
        EXPECT_LE(outcome.elapsed, deadline + kSlack);
        EXPECT_TRUE(NoChildLeft()) << "the helper was not reaped";
        EXPECT_EQ(CountEntries("/proc/self/task"), threadsBefore);
        EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
        return outcome;
    }

    static RunOutcome Search() { return RunAndCheckHost(false, kSearchDeadline); }

    static void ExpectGoodDevices(const DeviceList& devices)
    {
        ASSERT_EQ(devices.size(), 3u);
        EXPECT_EQ(devices[0].friendlyName, "ROVA robot 1");
        EXPECT_EQ(devices[1].presentationUrl, "http://192.0.2.11/");
        EXPECT_EQ(devices[2].description, "Laser printer");
    }

    static fs::path s_directory;
};

fs::path HelperProcessTest::s_directory;

struct ModeCase {
    const char* mode;
    bool probe;
    bool expected;
    std::size_t deviceCount;
    // A helper that says nothing is waited for until the deadline.
    bool silentToTheEnd;
};

TEST_F(HelperProcessTest, EveryModeEndsInTimeWithItsAnswerAndLeavesNothing)
{
    const ModeCase cases[] = {
        {"good", false, true, 3, false},         {"late", false, true, 3, false},
        {"stray-output", false, true, 3, false}, {"good", true, true, 0, false},
        {"crash", false, false, 0, false},       {"hang", false, false, 0, true},
        {"garbage", false, false, 0, false},     {"flood", false, false, 0, false},
        {"early-exit", false, false, 0, false},  {"bad-status", false, false, 0, false},
        {"trailing", false, false, 0, false},    {"probe-hang", true, false, 0, true},
        {"probe-fail", true, false, 0, false},   {"dribble", false, false, 0, true},
        {"linger", false, true, 3, false},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + (c.probe ? " (probe)" : " (search)"));
        SetMode(c.mode);
        const milliseconds deadline = c.probe ? kProbeDeadline : kSearchDeadline;
        const RunOutcome outcome = RunAndCheckHost(c.probe, deadline);
        EXPECT_EQ(outcome.succeeded, c.expected);
        if (c.silentToTheEnd) {
            EXPECT_GE(outcome.elapsed, deadline);
        }
        // After a failure the caller ignores what the reader holds.
        if (outcome.succeeded) {
            EXPECT_EQ(outcome.devices.size(), c.deviceCount);
        }
        if (c.deviceCount != 0) {
            ExpectGoodDevices(outcome.devices);
        }
    }
}

// A helper that trickles its stream a byte at a time cannot keep the host's thread busy: the
// thread neither re-reads what it has nor wakes for every byte.
TEST_F(HelperProcessTest, TricklingHelperCostsTheHostLittleTime)
{
    constexpr double kCpuBoundSeconds = 0.1;
    SetMode("dribble");
    timespec before{};
    timespec after{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
    const RunOutcome outcome = Search();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
    EXPECT_FALSE(outcome.succeeded);
    const double cpuSeconds =
        static_cast<double>(after.tv_sec - before.tv_sec) + (after.tv_nsec - before.tv_nsec) / 1e9;
    EXPECT_LT(cpuSeconds, kCpuBoundSeconds);
}

// The probe's helper needs no request and may answer and exit before the host closes the request
// channel: it is usable all the same, however the two processes are scheduled.
TEST_F(HelperProcessTest, ProbeAnsweredBeforeTheRequestChannelClosesCounts)
{
    SetMode("good");
    FinderHelperProcess helper;
    ASSERT_TRUE(helper.Start(HelperPath().string(), {protocol::kProbeArgument}));
    siginfo_t exited{};
    ASSERT_EQ(waitid(P_ALL, 0, &exited, WEXITED | WNOWAIT), 0);  // gone, not yet reaped
    HelperStreamReader reader;
    EXPECT_TRUE(helper.SendRequest(std::string()));
    EXPECT_TRUE(helper.ReadStream(std::chrono::steady_clock::now() + kProbeDeadline, reader));
    EXPECT_TRUE(NoChildLeft());
}

// A helper that cannot be started gives a finder that cannot be created, which the call reports
// as no search (-1); one given a relative path is never started, wherever the host is.
TEST_F(HelperProcessTest, HelperThatCannotStartGivesNoFinder)
{
    SetMode("good");
    const fs::path hostFolder = fs::current_path();
    fs::current_path(s_directory);
    for (const std::string& path :
         {(s_directory / "missing").string(), std::string("./seekwell-finder-gupnp"), std::string()}) {
        SCOPED_TRACE(path);
        IUPnPDeviceFinder* finder = reinterpret_cast<IUPnPDeviceFinder*>(&finder);
        EXPECT_TRUE(Failed(CreateHelperDeviceFinder(path, &finder)));
        EXPECT_EQ(finder, nullptr);
        EXPECT_TRUE(NoChildLeft());
    }
    fs::current_path(hostFolder);
}

// The host's way with SIGCHLD, set for one test and put back after it.
class HostSigchld {
public:
    explicit HostSigchld(void (*handler)(int))
    {
        struct sigaction action = {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        // No SA_RESTART: the library's waits see EINTR.
        sigaction(SIGCHLD, &action, &previous_);
    }
    ~HostSigchld() { sigaction(SIGCHLD, &previous_, nullptr); }
    HostSigchld(const HostSigchld&) = delete;
    HostSigchld& operator=(const HostSigchld&) = delete;

private:
    struct sigaction previous_ = {};
};

void ReapEveryChild(int)
{
    const int savedErrno = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = savedErrno;
}

TEST_F(HelperProcessTest, HostThatIgnoresOrReapsChildrenItselfStillGetsTheAnswerInTime)
{
    struct HostCase {
        const char* name;
        void (*handler)(int);
    };
    for (const HostCase& host : {HostCase{"SIGCHLD ignored", SIG_IGN}, HostCase{"host reaps", ReapEveryChild}}) {
        HostSigchld sigchld(host.handler);
        SCOPED_TRACE(host.name);
        SetMode("good");
        const RunOutcome good = Search();
        EXPECT_TRUE(good.succeeded);
        ExpectGoodDevices(good.devices);
        SetMode("hang");
        const RunOutcome hang = Search();
        EXPECT_FALSE(hang.succeeded);
    }
}

// Dispositions, mask, a descriptor without close-on-exec and an environment variable of the host
// that the helper must not inherit; all put back after the test.
class UntidyHost {
public:
    UntidyHost()
    {
        previousPipe_ = signal(SIGPIPE, SIG_IGN);
        previousInt_ = signal(SIGINT, SIG_IGN);
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &usr1, &previousMask_);
        inheritableFd_ = open("/dev/null", O_RDONLY);
        setenv("SEEKWELL_TEST_HOST_VARIABLE", "1", 1);
    }
    ~UntidyHost()
    {
        unsetenv("SEEKWELL_TEST_HOST_VARIABLE");
        close(inheritableFd_);
        pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
        signal(SIGINT, previousInt_);
        signal(SIGPIPE, previousPipe_);
    }
    UntidyHost(const UntidyHost&) = delete;
    UntidyHost& operator=(const UntidyHost&) = delete;

private:
    sighandler_t previousPipe_;
    sighandler_t previousInt_;
    sigset_t previousMask_;
    int inheritableFd_;
};

TEST_F(HelperProcessTest, HelperInheritsOnlyItsStreamAndDefaultSignalsAndNoEnvironment)
{
    UntidyHost host;
    SetMode("report");
    const RunOutcome outcome = Search();
    EXPECT_TRUE(outcome.succeeded);
    ASSERT_EQ(outcome.devices.size(), 1u);
    // The window it reports is what is left once it has read the request: its start-up is in it.
    const std::string report = outcome.devices[0].friendlyName;
    const std::string expected = "fds 0,1,2,3 blocked none ignored none env 0 args --search request upnp:rootdevice ";
    ASSERT_EQ(report.substr(0, expected.size()), expected);
    const int windowLeft = std::stoi(report.substr(expected.size()));
    EXPECT_GT(windowLeft, 0);
    EXPECT_LE(windowLeft, static_cast<int>(kSearchWindowMs));
}

// A host that closed some of its standard streams: the pipe the library makes takes their
// numbers (with stderr alone closed, its write end becomes 3, the stream's own number in the
// helper), and must still reach the helper as its stream.
TEST_F(HelperProcessTest, HostWithClosedStandardStreamsStillGetsTheStream)
{
    SetMode("report");
    for (const int closedUpTo : {0, 2}) {
        SCOPED_TRACE("closed from fd " + std::to_string(closedUpTo) + " to 2");
        int saved[3] = {-1, -1, -1};
        for (int fd = closedUpTo; fd < 3; ++fd) {
            saved[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 10);
            close(fd);
        }
        const RunOutcome outcome = Run(false, kSearchDeadline);
        for (int fd = closedUpTo; fd < 3; ++fd) {
            dup2(saved[fd], fd);
            close(saved[fd]);
        }
        EXPECT_TRUE(outcome.succeeded);
        ASSERT_EQ(outcome.devices.size(), 1u);
        EXPECT_EQ(outcome.devices[0].friendlyName.rfind("fds 0,1,2,3 ", 0), 0u) << outcome.devices[0].friendlyName;
    }
}

// The path choice's check: a helper that answers its probe, one that fails or hangs (cut off at
// the probe's limit), and none at all.
TEST_F(HelperProcessTest, PathChoiceTakesOnlyAHelperThatAnswersItsProbe)
{
    for (const auto& [mode, usable] : {std::pair{"good", true}, {"probe-fail", false}, {"probe-hang", false}}) {
        SCOPED_TRACE(mode);
        SetMode(mode);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(IsFinderHelperUsable(HelperPath().string()), usable);
        EXPECT_LE(std::chrono::steady_clock::now() - start, kProbeDeadline + kSlack);
        EXPECT_TRUE(NoChildLeft());
    }
    const fs::path notExecutable = s_directory / "fake-helper-mode";
    for (const std::string& path : {std::string(), (s_directory / "missing").string(), notExecutable.string()}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(IsFinderHelperUsable(path));
    }
}

}  // namespace
}  // namespace seekwell
