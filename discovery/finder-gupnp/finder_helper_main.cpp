// The finder helper: searches with GUPnP in a process of its own and hands
// what it found to the library that started it, as one stream on
// kHelperStreamFd (finder_wire.h).
//
//   seekwell-finder-gupnp --probe
//   seekwell-finder-gupnp --search    (then "<device type> <window in ms>\n"
//                                      on kHelperRequestFd)
//
// Exit status 0 once the stream is written, kUsageExit for arguments it does
// not take (nothing is written then), kFailedExit when the stream could
// not be made or written whole.
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <optional>

#include "finder_wire.h"
#include "gupnp_search.h"
#include "helper_request.h"
#include "helper_stream_writer.h"

namespace {

namespace hp = seekwell::finder_wire;

constexpr int kUsageExit = 2;
constexpr int kFailedExit = 1;
constexpr int kHelperArgc = 2;

// The stream's descriptor must have been handed over open: were it closed, a
// socket of the search could take its number and receive the stream.
bool StreamDescriptorIsOpen() { return fcntl(hp::kHelperStreamFd, F_GETFD) != -1; }

// Writes the whole stream and closes it: its end tells the library that
// everything is in, and the library then ends this process without waiting
// for whatever it still has to tear down.
int HandOverStream(const seekwell::FoundDeviceList& devices) noexcept
{
    bool written = false;
    try {
        written = seekwell::WriteAll(hp::kHelperStreamFd, seekwell::BuildStream(devices));
    } catch (const std::exception&) {
    }
    close(hp::kHelperStreamFd);
    return written ? 0 : kFailedExit;
}

int Run(int argc, char** argv)
{
    if (!StreamDescriptorIsOpen()) {
        return kUsageExit;
    }
    // The stream is this process's alone; nothing it might start inherits it.
    fcntl(hp::kHelperStreamFd, F_SETFD, FD_CLOEXEC);
    if (argc == kHelperArgc && std::strcmp(argv[1], hp::kProbeArgument) == 0) {
        return HandOverStream({});
    }
    if (argc != kHelperArgc || std::strcmp(argv[1], hp::kSearchArgument) != 0) {
        return kUsageExit;
    }
    const std::optional<seekwell::SearchRequest> request = seekwell::ReadSearchRequest();
    if (!request) {
        return kUsageExit;
    }
    int status = kFailedExit;
    seekwell::SearchDevices(request->deviceType.c_str(), request->window,
                            [&status](const seekwell::FoundDeviceList& devices) { status = HandOverStream(devices); });
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    // Never outlive the thread that started us, whatever it runs into.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A reader that went away shows as a failed write, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return Run(argc, argv);
    } catch (const std::exception&) {
        return kFailedExit;
    }
}

#if defined(__SANITIZE_ADDRESS__)
// Leaks of the UPnP stack itself, a few dozen bytes per search: GSSDP 1.6.2
// drops a local-address object per client, GUPnP 1.6.3 the body of each failed fetch.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions()
{
    return "leak:libgssdp-1.6.so\n"
           "leak:g_memory_output_stream_steal_as_bytes\n";
}
// The library reads the helper's exit status, not a list of used suppressions.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_options()
{
    return "print_suppressions=0";
}
// The suppressions match frames inside libraries built without frame pointers.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}
#endif
