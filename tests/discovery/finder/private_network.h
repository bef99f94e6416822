// Runs test code in a child process inside a network namespace of its own,
// so that real SSDP multicast and HTTP never reach the machine's networks.
// A second namespace, the "device host", runs a FakeUpnpResponder; the two
// are joined by a veth pair (client 192.0.2.1/24, devices 192.0.2.10/24) and
// both disappear with the child.
#ifndef SEEKWELL_TESTS_PRIVATE_NETWORK_H
#define SEEKWELL_TESTS_PRIVATE_NETWORK_H

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "fake_upnp_responder.h"

namespace seekwell::test {

constexpr const char kDeviceHostAddress[] = "192.0.2.10";

struct ChildOutcome {
    std::string strSkipReason;  // set when no private network could be made
    bool bExitedInTime = false;
    int nExitCode = -1;
    std::string strOutput;      // what the body wrote to its stream
};

// body runs in the client namespace, with a stream to report through, once
// the devices answer; its result is the child's exit code. The child is
// killed when it outlives limit.
ChildOutcome RunInPrivateNetwork(const std::vector<ResponderDevice>& devices,
                                 const std::function<int(FILE* report)>& body,
                                 std::chrono::seconds limit);

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_PRIVATE_NETWORK_H
