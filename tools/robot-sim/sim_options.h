// Command line of seekwell-robot-sim.
#ifndef ROBOT_SIM_SIM_OPTIONS_H
#define ROBOT_SIM_SIM_OPTIONS_H

#include <string>
#include <vector>

#include "sim_config.h"

namespace robotsim {

struct ParsedOptions {
    SimConfig config;
    bool showHelp = false;
    bool showVersion = false;
    std::string error;  // empty when the command line is good
};

ParsedOptions ParseOptions(const std::vector<std::string>& arguments);
std::string UsageText();

}  // namespace robotsim

#endif  // ROBOT_SIM_SIM_OPTIONS_H
