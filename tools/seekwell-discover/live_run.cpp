#include "live_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <tool_cli.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "command_checks.h"

namespace seekwell_discover {

namespace {

struct Printer {
    const LiveRequest& request;
    std::ostream& out;
    AnsweringRobots answering;
    std::optional<std::string> failure;  // why the search could not run, from its DONE
};

void OnEvent(const seekwell_event* event, void* userData)
{
    auto& printer = *static_cast<Printer*>(userData);
    if (OnlyExplained(event->type) && !printer.request.explain) {
        return;
    }
    printer.answering.Count(*event);
    if (event->type == SEEKWELL_EVENT_DONE && event->done_reason == SEEKWELL_DONE_FAILED) {
        printer.failure = event->reason;
    }
    // Flushed line by line: a reader of a pipe sees each robot as it answers.
    printer.out << EventLine(*event, printer.answering.Size(), printer.request.format) << std::flush;
}

// SIGINT and SIGTERM arrive as a descriptor's input, so stopping is one more event of the loop.
int StopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) {
        return -1;
    }
    return signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
}

void DrainSignals(int signals)
{
    signalfd_siginfo info;
    while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
}

// Dispatches until DONE, cancelling the search at the first stop signal.
void DispatchUntilDone(seekwell_search* search, int signals)
{
    pollfd watched[] = {{seekwell_search_fd(search), POLLIN, 0}, {signals, POLLIN, 0}};
    const nfds_t count = signals >= 0 ? 2 : 1;
    while (true) {
        if (poll(watched, count, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            seekwell_search_cancel(search);
            seekwell_search_wait(search, -1);
            return;
        }
        if ((watched[1].revents & POLLIN) != 0) {
            DrainSignals(signals);
            seekwell_search_cancel(search);
        }
        if ((watched[0].revents & POLLIN) != 0 && seekwell_search_dispatch(search) == 0) {
            return;
        }
    }
}

// The command line was checked before the start: these come only when the host changed meanwhile.
int StartError(const char* program, const LiveRequest& request, int error)
{
    if (error == -ENODEV) {
        return tool_cli::PrintUsageError(
            program, InterfaceRefusal(request.interfaceName, InterfaceKind::Unknown, SearchableInterfaces()));
    }
    if (error == -EINVAL && !request.targets.empty()) {
        const std::vector<std::string> refused = RefusedProbes(request.targets);
        for (std::size_t i = 0; i + 1 < refused.size(); ++i) {
            tool_cli::PrintError(program, refused[i]);
        }
        if (!refused.empty()) {
            return tool_cli::PrintUsageError(program, refused.back());
        }
    }
    tool_cli::PrintError(program, std::string("no search took place: ") + std::strerror(-error));
    return tool_cli::kExitFailure;
}

}  // namespace

int RunLiveSearch(const char* program, const LiveRequest& request, std::ostream& out)
{
    seekwell_options options = SEEKWELL_OPTIONS_INIT;
    options.window_ms = request.windowMs;
    options.period_ms = request.periodMs;
    options.interface_name = request.interfaceName.empty() ? nullptr : request.interfaceName.c_str();
    std::vector<const char*> targets;
    for (const std::string& target : request.targets) {
        targets.push_back(target.c_str());
    }
    targets.push_back(nullptr);
    options.targets = request.targets.empty() ? nullptr : targets.data();
    const int signals = StopSignals();
    Printer printer{request, out, {}, std::nullopt};
    seekwell_search* search = nullptr;
    const int started = seekwell_search_start(&options, OnEvent, &printer, &search);
    if (started != 0) {
        if (signals >= 0) {
            close(signals);
        }
        return StartError(program, request, started);
    }
    // Asked while the search already runs: the finder's probe costs the robots no time.
    if (request.explain) {
        out << PathLine(seekwell_blocking_search_path(), request.format) << std::flush;
    }
    DispatchUntilDone(search, signals);
    seekwell_search_free(search);
    if (signals >= 0) {
        close(signals);
    }
    if (printer.failure) {
        tool_cli::PrintError(program, "no search took place: " + *printer.failure);
        return tool_cli::kExitFailure;
    }
    return tool_cli::kExitSuccess;
}

}  // namespace seekwell_discover
