// The device set the network tests answer with: three robots that can be
// reported, a robot without a presentation page, one whose description
// cannot be fetched, and a device that is no robot.
#ifndef SEEKWELL_TESTS_TEST_DEVICES_H
#define SEEKWELL_TESTS_TEST_DEVICES_H

#include <vector>

#include "fake_upnp_responder.h"

namespace seekwell::test {

inline std::vector<ResponderDevice> MixedTestDevices() {
    return {
        {"R0VA-test-0001", "Robot one", "ROVA robot", "http://192.0.2.10/index.html", true},
        {"other-0001", "Printer", "A printer", "http://192.0.2.20/", true},
        {"R0VA-test-0002", "Robot two", "ROVA robot", "http://192.0.2.11:8080/app/", true},
        {"R0VA-test-0003", "Robot three", "ROVA robot", "http://192.0.2.12/", true},
        {"R0VA-test-0004", "Robot without page", "ROVA robot", "", true},
        {"R0VA-test-0005", "Unreachable robot", "ROVA robot", "http://192.0.2.13/", false},
    };
}

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_TEST_DEVICES_H
