#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "builtin/upnp_search_wnd.h"
#include "discovery_call.h"
#include "loopback_sockets.h"
#include "path_choice.h"
#include "result_records.h"
#include "scripted_http_peer.h"
#include "timing.h"

namespace seekwell {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr unsigned int kShortWindowMs = 600;
PlatformFacts BuiltInFacts() { return PlatformFacts{false, kProbeAnswerUnknown}; }

// Aimed at a loopback responder, listening on any free port, with a short window.
SearchParameters LoopbackParameters(std::uint16_t responderPort, std::uint16_t httpPort = 0)
{
    return SearchParameters{SsdpEndpoints{"127.0.0.1", responderPort, 0}, kShortWindowMs, HttpFetchLimits{httpPort}};
}

TEST(Search, FindsRobotsOnLoopbackAndLeavesOtherRecordsAlone)
{
    using test::Answer;
    using test::Description;
    using test::Response;
    test::ScriptedHttpPeer robotA("127.0.0.2", 0, Answer(Response(Description("R0VA-A", "Alpha"))));
    test::ScriptedHttpPeer other("127.0.0.3", robotA.Port(), Answer(Response(Description("plain", "TV"))));
    test::ScriptedHttpPeer robotB("127.0.0.4", robotA.Port(), Answer(Response(Description("R0VA-B", "Beta"))));
    test::UdpEndpoint responder;
    std::string msearch;
    std::thread answering([&] {
        std::uint16_t searchPort = 0;
        msearch = responder.Receive(5000, &searchPort);
        for (const char* host : {"127.0.0.2", "127.0.0.3", "127.0.0.2", "127.0.0.4"}) {
            responder.SendTo(std::string("R0VA\r\nLOCATION: http://") + host + "/ROVA.XML\r\n\r\n", searchPort);
        }
    });
    CUpnpSearchWnd search(LoopbackParameters(responder.Port(), robotA.Port()));
    test::ResultRecords results;
    const auto started = steady_clock::now();
    const int found = search.Search(results.Data());
    EXPECT_GE(steady_clock::now() - started, milliseconds(kShortWindowMs));
    answering.join();

    EXPECT_EQ(msearch,
              "M-SEARCH * HTTP/1.1\r\nHost:239.255.255.250:1900\r\nST:upnp:rootdevice\r\n"
              "Man:\"ssdp:discover\"\r\nMX:10\r\n\r\n");
    EXPECT_EQ(msearch.size(), 98u);
    ASSERT_EQ(found, 2);
    EXPECT_STREQ(results[0].pszName, "Alpha");
    EXPECT_STREQ(results[0].pszAddress, "127.0.0.2");
    EXPECT_STREQ(results[1].pszName, "Beta");
    EXPECT_STREQ(results[1].pszAddress, "127.0.0.4");
    EXPECT_TRUE(results.UntouchedFrom(2));
    EXPECT_EQ(robotA.Requests().size(), 1u);  // heard twice, fetched once
    EXPECT_EQ(other.Requests().size(), 1u);
}

TEST(Search, RunsItsWindowWhenThePortIsTaken)
{
    test::UdpEndpoint holder("0.0.0.0");
    test::UdpEndpoint responder;
    SearchParameters params = LoopbackParameters(responder.Port());
    params.ssdp.bindPort = holder.Port();
    CUpnpSearchWnd search(params);
    test::ResultRecords results;
    const auto started = steady_clock::now();
    EXPECT_EQ(search.Search(results.Data()), 0);
    EXPECT_GE(steady_clock::now() - started, milliseconds(kShortWindowMs));
    EXPECT_EQ(responder.Receive(0).size(), 98u);  // sent from an implicit port
}

std::set<std::string> ThreadIds()
{
    std::set<std::string> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(entry.path().filename().string());
    }
    return ids;
}

// The SigBlk line of a thread's status: the signals it has blocked.
std::string BlockedSignals(const std::string& threadId)
{
    std::ifstream status("/proc/self/task/" + threadId + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigBlk:", 0) == 0) {
            return line;
        }
    }
    return "";
}

bool IsBlocked(int signal)
{
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, signal) == 1;
}

TEST(Search, WorkersRunWithEverySignalBlockedAndTheCallersMaskIsKept)
{
    test::UdpEndpoint sink;
    CUpnpSearchWnd search(LoopbackParameters(sink.Port()));
    sigset_t callerBlocks;
    sigemptyset(&callerBlocks);
    sigaddset(&callerBlocks, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &callerBlocks, nullptr);
    // A sanitizer may start a thread of its own with the process's first
    // thread; it is there before the search then.
    std::thread([] {}).join();
    const std::set<std::string> before = ThreadIds();
    std::string everythingBlocked;
    std::vector<std::string> workerMasks;
    std::thread observer([&] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, nullptr);
        const std::string self = std::to_string(gettid());
        everythingBlocked = BlockedSignals(self);
        std::this_thread::sleep_for(milliseconds(kShortWindowMs / 2));
        for (const std::string& id : ThreadIds()) {
            if (before.count(id) == 0 && id != self) {
                workerMasks.push_back(BlockedSignals(id));
            }
        }
    });
    test::ResultRecords results;
    EXPECT_EQ(search.Search(results.Data()), 0);
    observer.join();
    EXPECT_TRUE(IsBlocked(SIGUSR2));
    EXPECT_FALSE(IsBlocked(SIGUSR1));
    pthread_sigmask(SIG_UNBLOCK, &callerBlocks, nullptr);
    ASSERT_EQ(workerMasks.size(), 2u);  // the receive and the timer worker
    for (const std::string& mask : workerMasks) {
        EXPECT_EQ(mask, everythingBlocked);
    }
}

// The receive worker keeps 128 KiB of buffers on its stack: a host whose
// threads get a smaller stack by default must not crash the search.
TEST(Search, WorkersDoNotDependOnTheHostsDefaultStackSize)
{
    constexpr std::size_t kSmallDefaultStack = 64 * 1024;
    test::ScriptedHttpPeer robot("127.0.0.2", 0, test::Answer(test::Response(test::Description("R0VA-S", "Small"))));
    test::UdpEndpoint responder;
    std::thread answering([&] {
        std::uint16_t searchPort = 0;
        responder.Receive(5000, &searchPort);
        responder.SendTo("R0VA\r\nLOCATION: http://127.0.0.2/ROVA.XML\r\n\r\n", searchPort);
    });
    pthread_attr_t hostDefault;
    pthread_attr_t small;
    ASSERT_EQ(pthread_getattr_default_np(&hostDefault), 0);
    pthread_attr_init(&small);
    pthread_attr_setstacksize(&small, kSmallDefaultStack);
    pthread_setattr_default_np(&small);
    CUpnpSearchWnd search(LoopbackParameters(responder.Port(), robot.Port()));
    test::ResultRecords results;
    const int found = search.Search(results.Data());
    pthread_setattr_default_np(&hostDefault);
    pthread_attr_destroy(&small);
    pthread_attr_destroy(&hostDefault);
    answering.join();
    ASSERT_EQ(found, 1);
    EXPECT_STREQ(results[0].pszName, "Small");
}

TEST(DiscoveryCall, PathChoiceRowByRow)
{
    EXPECT_EQ(ProbeOsVersion(), kProbeAnswerUnknown);
    for (int probe : {-1, 0, 1, 2}) {
        EXPECT_EQ(ChooseDiscoveryPath(true, probe), DiscoveryPath::Finder) << probe;
        EXPECT_EQ(ChooseDiscoveryPath(false, probe), probe == 2 ? DiscoveryPath::NoSearch : DiscoveryPath::BuiltIn);
    }
    test::UdpEndpoint sink;
    const SearchParameters params = LoopbackParameters(sink.Port());
    test::ResultRecords results;
    // A null array is answered before anything is learnt about the platform, which starts a helper.
    EXPECT_EQ(RunDiscoveryCall(nullptr, params,
                               [] {
                                   ADD_FAILURE() << "the platform was probed for a null array";
                                   return BuiltInFacts();
                               }),
              kNoSearch);
    EXPECT_EQ(RunDiscoveryCall(results.Data(), params,
                               [] {
                                   return PlatformFacts{false, kProbeAnswerNoSearch};
                               }),
              kNoSearch);
    EXPECT_TRUE(results.UntouchedFrom(0));
    EXPECT_EQ(sink.Receive(0), "");  // neither call sent anything
}

TEST(DiscoveryCall, OverlappingCallsRunOneAfterTheOther)
{
    test::UdpEndpoint sink;
    const SearchParameters params = LoopbackParameters(sink.Port());
    int counts[2] = {-2, -2};
    auto call = [&params](int* count) {
        test::ResultRecords results;
        *count = RunDiscoveryCall(results.Data(), params, &BuiltInFacts);
    };
    const auto started = steady_clock::now();
    std::thread first(call, &counts[0]);
    std::thread second(call, &counts[1]);
    first.join();
    second.join();
    EXPECT_EQ(counts[0], 0);
    EXPECT_EQ(counts[1], 0);
    EXPECT_GE(steady_clock::now() - started, milliseconds(2 * kShortWindowMs));
}

// A child forked while another thread is inside a call does not inherit a
// held call lock. Thread sanitizer does not run threads in such a child.
TEST(DiscoveryCall, ChildForkedDuringACallMakesItsOwnCall)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a thread-sanitized child of a threaded process cannot start threads";
#else
    constexpr milliseconds kChildWait{5000};
    test::UdpEndpoint sink;
    const SearchParameters params = LoopbackParameters(sink.Port());
    std::thread inCall([&params] {
        test::ResultRecords results;
        RunDiscoveryCall(results.Data(), params, &BuiltInFacts);
    });
    std::this_thread::sleep_for(milliseconds(kShortWindowMs / 2));
    const pid_t child = fork();
    if (child == 0) {
        test::ResultRecords results;
        _exit(RunDiscoveryCall(results.Data(), params, &BuiltInFacts) == 0 ? 0 : 1);
    }
    inCall.join();
    ASSERT_GT(child, 0);
    int status = 0;
    pid_t ended = 0;
    test::WaitUntil([&] { return (ended = waitpid(child, &status, WNOHANG)) != 0; }, kChildWait);
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_EQ(ended, child) << "the child's call did not return";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
}

}  // namespace
}  // namespace seekwell
