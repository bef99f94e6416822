// seekwell-robot-sim: simulated robots (and other UPnP devices) for testing discovery.
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim_options.h"
#include "simulator.h"

namespace {

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
        return 0;
    }
    if (options.showVersion) {
        std::puts(ROBOT_SIM_VERSION);
        return 0;
    }
    if (!options.error.empty()) {
        std::fprintf(stderr, "seekwell-robot-sim: %s\n%s", options.error.c_str(), robotsim::UsageText().c_str());
        return 1;
    }
    robotsim::Simulator simulator(options.config);
    std::string error;
    if (!simulator.Start(&error)) {
        std::fprintf(stderr, "seekwell-robot-sim: %s\n", error.c_str());
        return 1;
    }
    g_simulator = &simulator;
    InstallSignalHandlers();
    if (!options.config.readyPath.empty() && !WriteReadyFile(options.config.readyPath)) {
        std::fprintf(stderr, "seekwell-robot-sim: cannot write %s\n", options.config.readyPath.c_str());
        return 1;
    }
    simulator.Run();
    g_simulator = nullptr;
    return 0;
}
