// Stands in for the finder helper and misbehaves on request. The library fixes the helper's
// arguments and empties its environment, so the behaviour comes from a file named
// "fake-helper-mode" beside this executable, holding one of the mode names below.
//
// Every mode answers "--probe" as the real helper does, except the probe-* modes; a search reads
// its request first, as the real helper does. Arguments or a request of another shape than the
// real helper's make it exit 2, so a test sees a wrong spawn.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "finder_wire.h"
#include "helper_request.h"
#include "helper_stream_writer.h"

namespace {

namespace protocol = seekwell::finder_wire;
using seekwell::WriteAll;

constexpr const char kModeFileName[] = "fake-helper-mode";
constexpr int kWrongArguments = 2;
constexpr int kBadStatus = 1;
constexpr std::size_t kGarbageBytes = 1024 * 1024;
constexpr std::size_t kFloodBytes = 100 * 1024 * 1024;
constexpr std::size_t kTrailingBytes = 3;
constexpr unsigned kGarbageSeed = 20240611;
constexpr int kHighestSignal = 64;
constexpr const char kRobotDescription[] = "ROVA service robot";
constexpr std::chrono::microseconds kDribblePause{50};

bool WriteStream(const std::string& bytes) { return WriteAll(protocol::kHelperStreamFd, bytes); }

[[noreturn]] void HangForever()
{
    signal(SIGTERM, SIG_IGN);
    for (;;) {
        pause();
    }
}

std::string EmptyStream()
{
    std::string stream;
    protocol::AppendMagic(stream);
    protocol::AppendEnd(stream, 0);
    return stream;
}

// Two robots and a printer, which the library leaves out.
std::string GoodStream()
{
    std::string stream;
    protocol::AppendMagic(stream);
    protocol::AppendDevice(stream, "ROVA robot 1", "http://192.0.2.10/", kRobotDescription);
    protocol::AppendDevice(stream, "ROVA robot 2", "http://192.0.2.11/", kRobotDescription);
    protocol::AppendDevice(stream, "Office printer", "http://192.0.2.20/", "Laser printer");
    protocol::AppendEnd(stream, 3);
    return stream;
}

std::string JoinNumbers(const std::vector<int>& numbers)
{
    if (numbers.empty()) {
        return "none";
    }
    std::string text;
    for (const int n : numbers) {
        text += (text.empty() ? "" : ",") + std::to_string(n);
    }
    return text;
}

std::vector<int> OpenDescriptors()
{
    std::vector<int> fds;
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        return fds;
    }
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(directory)) {
            fds.push_back(std::atoi(entry->d_name));
        }
    }
    closedir(directory);
    return fds;
}

// Only SIG_IGN survives exec (a handler cannot), so "ignored" is every disposition inherited
// that is not the default; a sanitizer's own handlers are set after exec and do not count.
std::string SignalReport()
{
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    std::vector<int> blockedSignals;
    std::vector<int> ignoredSignals;
    for (int signal = 1; signal <= kHighestSignal; ++signal) {
        struct sigaction action = {};
        if (sigismember(&blocked, signal) == 1) {
            blockedSignals.push_back(signal);
        }
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            ignoredSignals.push_back(signal);
        }
    }
    return "blocked " + JoinNumbers(blockedSignals) + " ignored " + JoinNumbers(ignoredSignals);
}

std::size_t EnvironmentSize()
{
    std::size_t n = 0;
    while (environ[n] != nullptr) {
        ++n;
    }
    return n;
}

// The search's request, once read.
std::optional<seekwell::SearchRequest> g_request;

// One robot whose name tells what the helper inherited, e.g.
// "fds 0,1,2,3 blocked none ignored none env 0 args --search request upnp:rootdevice 9990" (the
// window left once it has read the request).
std::string ReportStream(int argc, char** argv)
{
    std::string report = "fds " + JoinNumbers(OpenDescriptors()) + " " + SignalReport() + " env " +
                         std::to_string(EnvironmentSize()) + " args";
    for (int i = 1; i < argc; ++i) {
        report += std::string(" ") + argv[i];
    }
    report += " request " + g_request->deviceType + " " + std::to_string(g_request->window.count());
    std::string stream;
    protocol::AppendMagic(stream);
    protocol::AppendDevice(stream, report, "http://192.0.2.10/", kRobotDescription);
    protocol::AppendEnd(stream, 1);
    return stream;
}

int Good(int, char**) { return WriteStream(GoodStream()) ? 0 : 1; }

int AnswerProbe(int, char**) { return WriteStream(EmptyStream()) ? 0 : 1; }
int FailProbe(int, char**) { return 1; }

// Silent for the whole window, as the real helper is while it searches.
int Late(int, char**)
{
    std::this_thread::sleep_for(g_request->window);
    return Good(0, nullptr);
}

int Crash(int, char**)
{
    const std::string stream = GoodStream();
    WriteStream(stream.substr(0, stream.size() / 2));
    // A sanitizer's handler would turn the signal into an exit.
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
    return 1;
}

int Hang(int, char**) { HangForever(); }

int Garbage(int, char**)
{
    std::mt19937 random(kGarbageSeed);
    std::string bytes(kGarbageBytes, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return WriteStream(bytes) ? 0 : 1;
}

// Valid device frames, more than any bound allows, and no end frame ever.
int Flood(int, char**)
{
    std::string frames;
    protocol::AppendMagic(frames);
    WriteStream(frames);
    frames.clear();
    for (int i = 0; i < 1000; ++i) {
        protocol::AppendDevice(frames, "ROVA robot", "http://192.0.2.10/", kRobotDescription);
    }
    for (std::size_t written = 0; written < kFloodBytes; written += frames.size()) {
        if (!WriteStream(frames)) {
            return 1;
        }
    }
    HangForever();
}

int EarlyExit(int, char**)
{
    std::string stream;
    protocol::AppendMagic(stream);
    protocol::AppendDevice(stream, "ROVA robot 1", "http://192.0.2.10/", kRobotDescription);
    return WriteStream(stream) ? 0 : 1;
}

int BadStatus(int, char**)
{
    WriteStream(GoodStream());
    return kBadStatus;
}

// A whole stream, closed, and then no exit: as the real helper while it tears its UPnP stack
// down, which the library does not wait for.
int Linger(int, char**)
{
    const bool written = WriteStream(GoodStream());
    close(protocol::kHelperStreamFd);
    if (!written) {
        return 1;
    }
    HangForever();
}

int Trailing(int, char**) { return WriteStream(GoodStream() + std::string(kTrailingBytes, 'E')) ? 0 : 1; }

// Frames as large as the stream allows, one byte at a time, until it is killed.
int Dribble(int, char**)
{
    const std::string field(protocol::kMaxFieldBytes, 'n');
    std::string frames;
    protocol::AppendMagic(frames);
    protocol::AppendDevice(frames, field, field, field);
    for (std::size_t i = 0;; i = i + 1 < frames.size() ? i + 1 : protocol::kStreamMagicSize) {
        if (!WriteStream(frames.substr(i, 1))) {
            return 1;
        }
        std::this_thread::sleep_for(kDribblePause);
    }
}

// Answers its probe, then removes itself: the search that follows cannot start it.
int VanishAfterProbe(int, char**)
{
    std::error_code error;
    std::filesystem::remove(std::filesystem::read_symlink("/proc/self/exe", error), error);
    return AnswerProbe(0, nullptr);
}

int StrayOutput(int, char**)
{
    WriteAll(STDOUT_FILENO, "stray output of the helper on its stdout\n");
    WriteAll(STDERR_FILENO, "stray output of the helper on its stderr\n");
    return Good(0, nullptr);
}

int Report(int argc, char** argv) { return WriteStream(ReportStream(argc, argv)) ? 0 : 1; }

using Behaviour = int (*)(int argc, char** argv);

struct Mode {
    const char* name;
    Behaviour probe;
    Behaviour search;
};

constexpr Mode kModes[] = {
    {"good", AnswerProbe, Good},
    {"late", AnswerProbe, Late},
    {"crash", AnswerProbe, Crash},
    {"hang", AnswerProbe, Hang},
    {"garbage", AnswerProbe, Garbage},
    {"flood", AnswerProbe, Flood},
    {"early-exit", AnswerProbe, EarlyExit},
    {"bad-status", AnswerProbe, BadStatus},
    {"trailing", AnswerProbe, Trailing},
    {"linger", AnswerProbe, Linger},
    {"stray-output", AnswerProbe, StrayOutput},
    {"report", AnswerProbe, Report},
    {"probe-hang", Hang, Good},
    {"probe-fail", FailProbe, Good},
    {"dribble", AnswerProbe, Dribble},
    {"vanish", VanishAfterProbe, Good},
};

std::string ReadModeName()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    std::ifstream file(self.parent_path() / kModeFileName);
    std::string name;
    file >> name;
    return name;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool probe = argc == 2 && std::strcmp(argv[1], protocol::kProbeArgument) == 0;
    const bool search = argc == 2 && std::strcmp(argv[1], protocol::kSearchArgument) == 0;
    if (search) {
        g_request = seekwell::ReadSearchRequest();
    }
    if ((!probe && !search) || (search && !g_request)) {
        return kWrongArguments;
    }
    const std::string name = ReadModeName();
    for (const Mode& mode : kModes) {
        if (name == mode.name) {
            return (probe ? mode.probe : mode.search)(argc, argv);
        }
    }
    return kWrongArguments;
}
