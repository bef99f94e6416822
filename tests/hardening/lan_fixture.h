// A test fixture on the private LAN: the lone library on the client host,
// SSDP and HTTP peers on the robot host. Skips where namespaces cannot be made.
#ifndef SEEKWELL_TESTS_LAN_FIXTURE_H
#define SEEKWELL_TESTS_LAN_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lone_library.h"
#include "private_lan.h"
#include "scripted_http_peer.h"
#include "ssdp_peers.h"

namespace seekwell::test {

// The product's own response window.
constexpr long kWindowMs = 10000;
constexpr std::uint16_t kHttpPort = 80;

struct Discovery {
    int count;
    long tookMs;
};

class LanFixture : public ::testing::Test {
protected:
    void SetUp() override;

    // Peers live on the robot host and are gone before the LAN is.
    void Respond(std::vector<ScriptedReply> replies, std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    // One HTTP server on port 80 of every robot-host address.
    void ServeDescriptions(std::map<std::string, std::string> responsesByHost);
    // Hosts asked for a description, in the order asked.
    std::vector<std::string> DescriptionHostsAsked() const;
    // Calls the export on the client host.
    Discovery Discover(ResultRecords& records);

    std::unique_ptr<PrivateLan> lan_;
    std::unique_ptr<LoneLibrary> library_;
    std::unique_ptr<SsdpResponder> responder_;
    std::unique_ptr<ScriptedHttpPeer> http_;
};

// A description whose UDN carries no marker.
std::string OtherDeviceResponse();

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_LAN_FIXTURE_H
