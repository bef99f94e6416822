// What every command-line tool of the package shares: its exit statuses and the wording of its
// version, error and bad-command-line lines.
#ifndef ROVA_TOOLS_TOOL_CLI_H
#define ROVA_TOOLS_TOOL_CLI_H

#include <cstdio>
#include <string>

namespace tool_cli {

constexpr int kExitSuccess = 0;
constexpr int kExitUsage = 1;      // the command line was not understood
constexpr int kExitFailure = 2;    // the tool could not do its work
constexpr int kExitNoNetwork = 3;  // seekwell-discover: no route to the search's multicast group

// "<program> <package version>" on stdout.
inline int PrintVersion(const char* program)
{
    std::printf("%s %s\n", program, ROVA_TOOLS_VERSION);
    return kExitSuccess;
}

// "<program>: <message>" on stderr.
inline void PrintError(const char* program, const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
}

// The error line and where to look for the right command line; the status to exit with.
inline int PrintUsageError(const char* program, const std::string& message)
{
    PrintError(program, message);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
    return kExitUsage;
}

}  // namespace tool_cli

#endif  // ROVA_TOOLS_TOOL_CLI_H
