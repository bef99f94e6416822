// Loads libseekwell from the path given, runs its search SEARCHES times in one process and prints
// what a test needs to judge the searches, one fact per line:
//
//   start 1 3              (threads and open descriptors before the first search)
//   search 3 10012 2 5     (result, elapsed ms, then threads and open descriptors after the call)
//   during 0 0             (threads the call started that could take a host signal, descriptors
//                           it opened without close-on-exec; both watched while the call ran)
//   record ROVA robot 1@192.0.2.10
//   helper-ran yes         (whether the library started and reaped a child: the finder helper)
//   upnp-stack none        (which libraries of the UPnP stack are mapped at the end, by file name)
//   libcurl none           (which libcurl is mapped at the end, by file name)
//   children 0             (children of the process left at the end, zombies included)
//
// A third argument names a library to load and keep before libseekwell.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "seekwell/seekwell.h"

namespace {

// File names of the UPnP stack's libraries start with these.
constexpr const char* kUpnpStackPrefixes[] = {"libglib-",  "libgobject-", "libgio-", "libgupnp-",
                                              "libgssdp-", "libsoup-",    "libxml2."};
constexpr const char* kLibcurlPrefixes[] = {"libcurl"};

using DiscoverFn = int (*)(DISCOVERY_RESULT*);

int CountEntries(const char* directory)
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
        ++n;
    }
    return n;
}

constexpr auto kWatchInterval = std::chrono::milliseconds(20);

std::set<std::string> EntryNames(const char* directory)
{
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// Signals that no thread can block; the C library also keeps two of its own.
unsigned long long UnblockableSignals()
{
    unsigned long long mask = 0;
    for (const int signal : {SIGKILL, SIGSTOP, 32, 33}) {
        mask |= 1ULL << (signal - 1);
    }
    return mask;
}

bool BlocksEverySignal(const std::string& task)
{
    std::ifstream status("/proc/self/task/" + task + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigBlk:", 0) == 0) {
            const unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
            return (blocked | UnblockableSignals()) == ~0ULL;
        }
    }
    return true;  // the thread ended meanwhile
}

// GSSDP 1.6 looks up the sender of each SSDP message that names its software through a netlink
// socket it opens without close-on-exec and closes again within the same dispatch; nothing
// outside GSSDP can reach that call, so such a socket is not counted.
bool IsNetlinkSocket(int fd)
{
    int domain = 0;
    socklen_t length = sizeof domain;
    return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_NETLINK;
}

// OpenSSL reads its configuration file once, when libcurl initialises in the
// built-in search's window, with a plain fopen and closes it at once; no flag
// of libcurl's reaches that open, so the file is not counted either.
bool IsOpenSslConfiguration(const std::string& fd)
{
    char target[PATH_MAX] = {};
    const std::string link = "/proc/self/fd/" + fd;
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    const std::string path(target, length > 0 ? static_cast<std::size_t>(length) : 0);
    const std::string name = "/openssl.cnf";
    return path.size() >= name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0;
}

// UBSan's vptr check tests memory through a pipe it opens without close-on-exec
// and closes at once, on whichever thread it runs, the library's included; in a
// build with it, pipes are not counted.
bool IsSanitizerPipe(const std::string& fd)
{
#ifdef SEEKWELL_TEST_UNDER_UBSAN
    char target[PATH_MAX] = {};
    const std::string link = "/proc/self/fd/" + fd;
    return readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target).rfind("pipe:", 0) == 0;
#else
    (void)fd;
    return false;
#endif
}

bool IsInheritable(const std::string& fd)
{
    const int number = std::stoi(fd);
    const int flags = fcntl(number, F_GETFD);
    return flags >= 0 && !(flags & FD_CLOEXEC) && !IsNetlinkSocket(number) && !IsOpenSslConfiguration(fd) &&
           !IsSanitizerPipe(fd);
}

// Watches, while a call runs, the threads and descriptors that were not there before it.
class CallWatcher {
public:
    CallWatcher()
        : tasksBefore_(EntryNames("/proc/self/task")),
          fdsBefore_(EntryNames("/proc/self/fd")),
          thread_([this] { Watch(); })
    {
    }
    ~CallWatcher() { Stop(); }

    void Stop()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    std::size_t ThreadsTakingSignals() const { return signalTakers_.size(); }
    std::size_t InheritableDescriptors() const { return inheritable_.size(); }

private:
    void Watch()
    {
        const std::string self = std::to_string(gettid());
        while (!stop_) {
            for (const std::string& task : EntryNames("/proc/self/task")) {
                if (task != self && !tasksBefore_.count(task) && !BlocksEverySignal(task)) {
                    signalTakers_.insert(task);
                }
            }
            for (const std::string& fd : EntryNames("/proc/self/fd")) {
                if (!fdsBefore_.count(fd) && IsInheritable(fd)) {
                    inheritable_.insert(fd);
                }
            }
            std::this_thread::sleep_for(kWatchInterval);
        }
    }

    const std::set<std::string> tasksBefore_;
    const std::set<std::string> fdsBefore_;
    std::set<std::string> signalTakers_;
    std::set<std::string> inheritable_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void ReportSearch(DiscoverFn discover)
{
    DISCOVERY_RESULT records[SEEKWELL_MAX_RESULTS] = {};
    CallWatcher watcher;
    const auto start = std::chrono::steady_clock::now();
    const int n = discover(records);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    watcher.Stop();
    std::printf("search %d %lld %d %d\n", n,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()),
                CountEntries("/proc/self/task"), CountEntries("/proc/self/fd"));
    std::printf("during %zu %zu\n", watcher.ThreadsTakingSignals(), watcher.InheritableDescriptors());
    for (int i = 0; i < n; ++i) {
        std::printf("record %s@%s\n", records[i].pszName, records[i].pszAddress);
        std::free(records[i].pszName);
        std::free(records[i].pszAddress);
    }
}

// This program starts no child of its own, so any reaped child is the library's finder helper.
bool ReapedAChild()
{
    rusage children{};
    return getrusage(RUSAGE_CHILDREN, &children) == 0 && children.ru_maxrss > 0;
}

// Names of the libraries mapped in this process whose file names start with one of the
// prefixes, or "none".
template <std::size_t N>
std::string MappedLibraries(const char* const (&prefixes)[N])
{
    std::ifstream maps("/proc/self/maps");
    std::set<std::string> mapped;
    std::string line;
    while (std::getline(maps, line)) {
        const std::size_t slash = line.rfind('/');
        const std::string file = slash == std::string::npos ? std::string() : line.substr(slash + 1);
        for (const char* prefix : prefixes) {
            if (file.rfind(prefix, 0) == 0) {
                mapped.insert(file);
            }
        }
    }
    std::string names;
    for (const std::string& file : mapped) {
        names += (names.empty() ? "" : ",") + file;
    }
    return names.empty() ? "none" : names;
}

// The parent's PID of a process, from its stat line: the fields after the command's closing
// parenthesis are the state, then the parent.
int ParentOf(const std::filesystem::path& process)
{
    std::ifstream stat(process / "stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t end = line.rfind(')');
    if (end == std::string::npos) {
        return -1;
    }
    std::istringstream fields(line.substr(end + 1));
    std::string state;
    int parent = -1;
    fields >> state >> parent;
    return parent;
}

// Processes whose parent is this one, zombies not yet reaped included.
int CountChildren()
{
    int n = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos && ParentOf(entry.path()) == getpid()) {
            ++n;
        }
    }
    return n;
}

}  // namespace

int main(int argc, char** argv)
{
    // Line by line: a sanitizer that ends the process at exit must not swallow the report.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s PATH-OF-LIBSEEKWELL SEARCHES [LIBRARY-TO-LOAD-FIRST]\n", argv[0]);
        return 2;
    }
    if (argc == 4 && dlopen(argv[3], RTLD_NOW | RTLD_LOCAL) == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", argv[3], dlerror());
        return 1;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    const auto discover =
        library != nullptr ? reinterpret_cast<DiscoverFn>(dlsym(library, "DiscoveryROVAByUPnP")) : nullptr;
    if (discover == nullptr) {
        std::fprintf(stderr, "cannot load DiscoveryROVAByUPnP from %s: %s\n", argv[1], dlerror());
        return 1;
    }
    std::printf("start %d %d\n", CountEntries("/proc/self/task"), CountEntries("/proc/self/fd"));
    for (int i = std::atoi(argv[2]); i > 0; --i) {
        ReportSearch(discover);
    }
    std::printf("helper-ran %s\n", ReapedAChild() ? "yes" : "no");
    std::printf("upnp-stack %s\n", MappedLibraries(kUpnpStackPrefixes).c_str());
    std::printf("libcurl %s\n", MappedLibraries(kLibcurlPrefixes).c_str());
    std::printf("children %d\n", CountChildren());
    return 0;
}
