#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>

#include "builtin/ssdp_receive.h"
#include "builtin/ssdp_socket.h"
#include "loopback_sockets.h"

namespace seekwell {
namespace {

std::string Reply(const std::string& host, const std::string& marker = "R0VA")
{
    return "HTTP/1.1 200 OK\r\nLOCATION: http://" + host + "/ROVA.XML\r\nSERVER: " + marker + "\r\n\r\n";
}

// What one reply records in an empty table ("" when nothing).
std::string Recorded(const std::string& text)
{
    static ReplyScratch scratch;
    AddressTable table = {};
    HandleSsdpReply(text.c_str(), table, scratch);
    EXPECT_EQ(table[1][0], '\0');
    return table[0];
}

TEST(SsdpReply, MarkerAnywhereAndExactLocationPrefix)
{
    EXPECT_EQ(Recorded(Reply("192.0.2.7")), "192.0.2.7");
    EXPECT_EQ(Recorded(Reply("192.0.2.7", "other")), "");
    EXPECT_EQ(Recorded(Reply("192.0.2.8/R0VA", "x")), "192.0.2.8");
    EXPECT_EQ(Recorded(Reply("192.0.2.9", "x") + "body R0VA"), "192.0.2.9");
    for (const char* prefix : {"Location: http://", "LOCATION:http://", "LOCATION: https://"}) {
        EXPECT_EQ(Recorded(std::string("R0VA\r\n") + prefix + "192.0.2.7/x"), "") << prefix;
    }
    // The first occurrence wins, even inside another header.
    EXPECT_EQ(Recorded("X: LOCATION: http://192.0.2.1/a\r\n" + Reply("192.0.2.2")), "192.0.2.1");
}

TEST(SsdpReply, HostTextFollowsInetAddrRules)
{
    EXPECT_EQ(Recorded(Reply("192.0.2.7:80")), "255.255.255.255");
    EXPECT_EQ(Recorded(Reply("robot.local")), "255.255.255.255");
    EXPECT_EQ(Recorded(Reply("0x7f.1")), "127.0.0.1");  // rendered canonically
    // No '/' after the host: the text runs to the next '/' anywhere, or to the end.
    EXPECT_EQ(Recorded("R0VA\r\nLOCATION: http://192.0.2.7:8\r\nX: a/b"), "255.255.255.255");
    EXPECT_EQ(Recorded("R0VA\r\nLOCATION: http://192.0.2.7"), "192.0.2.7");
}

// The real worker on a loopback socket, with the test as the responders.
class ReceiveWorker : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(socket_.Open(), 0);
        context_->Clear();
        context_->pSocket = &socket_;
        context_->pBuffers = buffers_.get();
        context_->bRunning = true;
        worker_ = std::thread([this] {
            SsdpReceiveThread(context_.get());
            ended_ = true;
        });
    }
    void Send(const std::string& bytes) { responder_.SendTo(bytes, test::LocalPort(socket_.Handle())); }
    // A last datagram leaves the queue only after every earlier one was handled.
    void StopWhenHandled()
    {
        ASSERT_TRUE(test::WaitUntilDrained(socket_.Handle()));
        Send("sync");
        ASSERT_TRUE(test::WaitUntilDrained(socket_.Handle()));
        Stop();
    }
    void Stop()
    {
        context_->bRunning = false;
        socket_.WakeReceiver();
        worker_.join();
    }
    std::string Slot(int i) const { return context_->szAddressTable[i]; }

    CSsdpSocket socket_{SsdpEndpoints{"127.0.0.1", 0, 0}};
    std::unique_ptr<SsdpReceiveContext> context_ = std::make_unique<SsdpReceiveContext>();
    std::unique_ptr<ReceiveBuffers> buffers_ = std::make_unique<ReceiveBuffers>();
    test::UdpEndpoint responder_;
    std::atomic<bool> ended_{false};
    std::thread worker_;
};

// A signal while no window is open interrupts the receive; SIGUSR1 as a host
// handler installed without SA_RESTART, for the span of one test.
class InterruptingHandler {
public:
    InterruptingHandler()
    {
        struct sigaction interrupting {};
        interrupting.sa_handler = [](int) {};
        sigemptyset(&interrupting.sa_mask);
        installed_ = sigaction(SIGUSR1, &interrupting, &previous_) == 0;
    }
    ~InterruptingHandler()
    {
        if (installed_) {
            sigaction(SIGUSR1, &previous_, nullptr);
        }
    }
    InterruptingHandler(const InterruptingHandler&) = delete;
    InterruptingHandler& operator=(const InterruptingHandler&) = delete;

    bool Installed() const { return installed_; }

private:
    struct sigaction previous_ {};
    bool installed_;
};

TEST_F(ReceiveWorker, DistinctRespondersFillSixteenSlotsInOrder)
{
    Send(std::string("LOCATION: http://127.0.0.9/\0R0VA", 32));  // marker after a NUL
    for (int i = 1; i <= kMaxResults + 1; ++i) {
        Send(Reply("127.0.1." + std::to_string(i)) + std::string("\0tail", 5));
        Send(Reply("127.0.1." + std::to_string(i)));  // a repeat takes no slot
    }
    StopWhenHandled();
    for (int i = 0; i < kMaxResults; ++i) {
        EXPECT_EQ(Slot(i), "127.0.1." + std::to_string(i + 1));
    }
}

TEST_F(ReceiveWorker, ShorterDatagramNeverSeesTheTailOfALongerOne)
{
    // Each alone is dropped; read together they would form a robot's reply.
    Send(std::string(64, 'x') + " R0VA");
    Send("LOCATION: http://127.0.0.7/");
    Send("LOCATION: http://127.0.0.8/ R0VA" + std::string(40, 'y'));
    Send("LOCATION: http://127.0.0.9/");
    StopWhenHandled();
    EXPECT_EQ(Slot(0), "127.0.0.8");
    EXPECT_EQ(Slot(1), "");
}

// A host handler installed without SA_RESTART makes a blocked receive fail
// with EINTR; the worker receives again instead of ending.
TEST_F(ReceiveWorker, SignalsInterruptingTheReceiveDoNotEndTheWorker)
{
    constexpr int kResponders = 7;
    constexpr int kSignalsPerResponder = 5;
    const InterruptingHandler handler;
    ASSERT_TRUE(handler.Installed());
    for (int i = 1; i <= kResponders; ++i) {
        for (int k = 0; k < kSignalsPerResponder; ++k) {
            pthread_kill(worker_.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        Send(Reply("127.0.2." + std::to_string(i)));
    }
    StopWhenHandled();
    for (int i = 1; i <= kResponders; ++i) {
        EXPECT_EQ(Slot(i - 1), "127.0.2." + std::to_string(i));
    }
}

// Once the window is closed, a receive cut short ends the worker, even before
// the socket is shut down.
TEST_F(ReceiveWorker, SignalAfterTheWindowClosedEndsTheWorker)
{
    constexpr auto kLimit = std::chrono::seconds(2);
    const InterruptingHandler handler;
    ASSERT_TRUE(handler.Installed());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block in the receive
    context_->bRunning = false;
    const auto started = std::chrono::steady_clock::now();
    // Repeated: a signal that lands before the worker blocks interrupts nothing.
    while (!ended_ && std::chrono::steady_clock::now() - started < kLimit) {
        pthread_kill(worker_.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(ended_);
    Stop();
}

TEST_F(ReceiveWorker, StopWakesWorkerAndLateDatagramIsDropped)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block in recvfrom
    context_->bRunning = false;
    Send(Reply("127.0.0.4"));
    const auto started = std::chrono::steady_clock::now();
    Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(Slot(0), "");
    EXPECT_EQ(SsdpReceiveThread(context_.get()), 0u);  // a closed window ends it at once
}

}  // namespace
}  // namespace seekwell
