// Runs test code in a child process inside a network namespace of its own,
// so that real SSDP multicast and HTTP never reach the machine's networks.
// The namespace holds a veth pair with 192.0.2.1/24 on "v0" and disappears
// with the child.
#ifndef SEEKWELL_TESTS_PRIVATE_NETWORK_H
#define SEEKWELL_TESTS_PRIVATE_NETWORK_H

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

namespace seekwell::test {

constexpr const char kPrivateHostAddress[] = "192.0.2.1";

struct ChildOutcome {
    std::string strSkipReason;  // set when no private network could be made
    bool bExitedInTime = false;
    int nExitCode = -1;
    std::string strOutput;      // what the body wrote to its stream
};

// body runs in the child with a stream to report through; its result is
// the child's exit code. The child is killed when it outlives limit.
ChildOutcome RunInPrivateNetwork(const std::function<int(FILE* report)>& body,
                                 std::chrono::seconds limit);

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_PRIVATE_NETWORK_H
