// Built-in searches whose worker threads cannot start: this binary's
// pthread_create stands in front of the C library's and fails the starts a
// test asks it to fail.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "builtin/upnp_search_wnd.h"
#include "discovery_call.h"
#include "loopback_sockets.h"
#include "result_records.h"
#include "scripted_http_peer.h"

namespace {

// Bit n set: the n-th thread start from now on fails.
std::atomic<unsigned int> g_uFailingStarts{0};
std::atomic<int> g_nStartsSeen{0};

void FailStarts(unsigned int startsBitmask)
{
    g_nStartsSeen = 0;
    g_uFailingStarts = startsBitmask;
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*procedure)(void*),
                              void* argument)
{
    using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto realCreate = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
    const int start = g_nStartsSeen++;
    if (start < 32 && (g_uFailingStarts.load() & (1u << start)) != 0) {
        return EAGAIN;
    }
    return realCreate(thread, attributes, procedure, argument);
}

namespace seekwell {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr unsigned int kWindowMs = 600;
constexpr unsigned int kReceiveWorkerStart = 1u << 0;  // started first
constexpr unsigned int kTimerWorkerStart = 1u << 1;

TEST(ThreadStartFailure, SearchStillCompletesAndNeverReturnsMinusOne)
{
    // The window always lasts its full time: without the timer worker the
    // caller waits it out, so the receive worker still hears the robot.
    const struct {
        unsigned int failing;
        int found;  // robots reported
    } rows[] = {
        {0, 1},
        {kReceiveWorkerStart, 0},  // nothing is recorded
        {kTimerWorkerStart, 1},
        {kReceiveWorkerStart | kTimerWorkerStart, 0},
    };
    test::ScriptedHttpPeer robot("127.0.0.2", 0, test::Answer(test::Response(test::Description("R0VA-T", "Robot"))));
    const SearchParameters params{SsdpEndpoints{"127.0.0.1", 0, 0}, kWindowMs, HttpFetchLimits{robot.Port()}};
    for (const auto& row : rows) {
        test::UdpEndpoint responder;
        SearchParameters rowParams = params;
        rowParams.ssdp.destinationPort = responder.Port();
        std::thread answering([&responder] {
            std::uint16_t searchPort = 0;
            if (!responder.Receive(2000, &searchPort).empty()) {
                responder.SendTo("R0VA\r\nLOCATION: http://127.0.0.2/ROVA.XML\r\n\r\n", searchPort);
            }
        });
        test::ResultRecords results;
        const auto started = steady_clock::now();
        FailStarts(row.failing);
        const int found = RunDiscoveryCall(results.Data(), rowParams, [] {
            return PlatformFacts{false, kProbeAnswerUnknown};
        });
        FailStarts(0);
        const auto took = steady_clock::now() - started;
        answering.join();
        EXPECT_EQ(found, row.found) << "failing starts " << row.failing;
        EXPECT_TRUE(results.UntouchedFrom(found)) << row.failing;
        EXPECT_GE(took, milliseconds(kWindowMs)) << row.failing;
    }
}

}  // namespace
}  // namespace seekwell
