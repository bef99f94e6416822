// seekwell-robot-sim: simulated robots (and other UPnP devices) for testing discovery.
#include <signal.h>
#include <tool_cli.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim_options.h"
#include "simulator.h"

namespace {

const char kProgram[] = "seekwell-robot-sim";
const robotsim::Simulator* g_simulator = nullptr;

void OnStopSignal(int)
{
    if (g_simulator != nullptr) {
        g_simulator->Stop();
    }
}

void InstallSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // Clients hanging up mid-response must not end the simulator.
    signal(SIGPIPE, SIG_IGN);
}

// Written under a temporary name and renamed, so a waiting test never reads half a file.
bool WriteReadyFile(const std::string& path)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary);
        file << "ready\n";
        if (!file) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const robotsim::ParsedOptions options = robotsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (options.showHelp) {
        std::fputs(robotsim::UsageText().c_str(), stdout);
        return tool_cli::kExitSuccess;
    }
    if (options.showVersion) {
        return tool_cli::PrintVersion(kProgram);
    }
    if (!options.error.empty()) {
        return tool_cli::PrintUsageError(kProgram, options.error);
    }
    robotsim::Simulator simulator(options.config);
    std::string error;
    if (!simulator.Start(&error)) {
        tool_cli::PrintError(kProgram, error);
        return tool_cli::kExitFailure;
    }
    g_simulator = &simulator;
    InstallSignalHandlers();
    if (!options.config.readyPath.empty() && !WriteReadyFile(options.config.readyPath)) {
        tool_cli::PrintError(kProgram, "cannot write " + options.config.readyPath);
        return tool_cli::kExitFailure;
    }
    simulator.Run();
    g_simulator = nullptr;
    return tool_cli::kExitSuccess;
}
