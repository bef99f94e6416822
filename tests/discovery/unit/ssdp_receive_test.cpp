#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "loopback.h"
#include "ssdp_receive.h"
#include "ssdp_socket.h"

namespace seekwell {
namespace {

constexpr int kDrainTimeoutMs = 5000;

std::string Reply(const std::string& location, const std::string& extra = "R0VA")
{
    return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\n" + location +
           "\r\nSERVER: Linux UPnP/1.0 " + extra + "/1.0\r\n\r\n";
}

std::string Recorded(const std::string& text)
{
    static ReplyScratch scratch;
    AddressTable table = {};
    HandleSsdpReply(text.c_str(), table, scratch);
    EXPECT_EQ(table[1][0], '\0') << "one reply records at most one address";
    return table[0];
}

TEST(SsdpReply, MarkerAndExactLocationPrefixDecide)
{
    EXPECT_EQ(Recorded(Reply("LOCATION: http://192.0.2.7/ROVA.XML")), "192.0.2.7");
    EXPECT_EQ(Recorded(Reply("LOCATION: http://192.0.2.7/ROVA.XML", "Other")), "");
    // The marker may stand anywhere: in the location's path, or in the body.
    EXPECT_EQ(Recorded(Reply("LOCATION: http://192.0.2.8/R0VA/d.xml", "X")), "192.0.2.8");
    EXPECT_EQ(Recorded(Reply("LOCATION: http://192.0.2.9/d.xml", "X") + "body R0VA"), "192.0.2.9");
    EXPECT_EQ(Recorded(Reply("Location: http://192.0.2.7/ROVA.XML")), "");
    EXPECT_EQ(Recorded(Reply("LOCATION:http://192.0.2.7/ROVA.XML")), "");
    EXPECT_EQ(Recorded(Reply("LOCATION: https://192.0.2.7/ROVA.XML")), "");
    EXPECT_EQ(Recorded(Reply("LOCATION: HTTP://192.0.2.7/ROVA.XML")), "");
}

TEST(SsdpReply, FirstLocationPrefixWinsEvenInsideAnotherHeader)
{
    const std::string text = "HTTP/1.1 200 OK\r\nX-NOTE: LOCATION: http://192.0.2.1/a\r\n"
                             "LOCATION: http://192.0.2.2/ROVA.XML\r\nST: R0VA\r\n\r\n";
    EXPECT_EQ(Recorded(text), "192.0.2.1");
}

TEST(SsdpReply, HostTextFollowsInetAddrRules)
{
    // A port or a name is rejected as a whole and renders as INADDR_NONE.
    EXPECT_EQ(Recorded(Reply("LOCATION: http://192.0.2.7:80/ROVA.XML")), "255.255.255.255");
    EXPECT_EQ(Recorded(Reply("LOCATION: http://robot.local/ROVA.XML")), "255.255.255.255");
    // inet_addr's own forms are rendered canonically.
    EXPECT_EQ(Recorded(Reply("LOCATION: http://0x7f.1/x")), "127.0.0.1");
    // No '/' after the host: the text runs to the next '/' anywhere later...
    EXPECT_EQ(Recorded("R0VA\r\nLOCATION: http://192.0.2.7:8\r\nX: a/b"), "255.255.255.255");
    // ...or to the end of the reply.
    EXPECT_EQ(Recorded("R0VA\r\nLOCATION: http://192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(Recorded("R0VA\r\nLOCATION: http://"), "255.255.255.255");
}

TEST(SsdpReply, TableKeepsDistinctAddressesInOrderUpToSixteen)
{
    ReplyScratch scratch;
    AddressTable table = {};
    for (int i = 1; i <= kMaxResults + 1; ++i) {
        const std::string reply = Reply("LOCATION: http://10.0.0." + std::to_string(i) + "/");
        HandleSsdpReply(reply.c_str(), table, scratch);
        HandleSsdpReply(reply.c_str(), table, scratch);  // a repeat takes no slot
    }
    for (int i = 0; i < kMaxResults; ++i) {
        EXPECT_EQ(std::string(table[i]), "10.0.0." + std::to_string(i + 1));
    }
}

// The real worker on a loopback socket; the test plays the responders.
class ReceiveWorker : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_Socket.Open(), 0);
        m_Port = test::LocalPort(m_Socket.Handle());
        m_Context->Clear();
        m_Context->pSocket = &m_Socket;
        m_Context->bRunning.store(true);
    }
    void Start() { m_Worker = std::thread(SsdpReceiveThread, m_Context.get()); }
    void Send(const std::string& bytes) { m_Responder.SendTo(bytes, m_Port); }
    // A last reply is taken off the queue only after every earlier one has
    // been handled, so once it is gone the table is complete.
    void WaitUntilHandled()
    {
        ASSERT_TRUE(test::WaitUntilDrained(m_Socket.Handle(), kDrainTimeoutMs));
        Send("sync");
        ASSERT_TRUE(test::WaitUntilDrained(m_Socket.Handle(), kDrainTimeoutMs));
    }
    void Stop()
    {
        m_Context->bRunning.store(false);
        m_Socket.WakeReceiver();
        m_Worker.join();
    }
    std::string Slot(int i) const { return m_Context->szAddressTable[i]; }

    CSsdpSocket m_Socket{SsdpEndpoints{"127.0.0.1", 0, 0}};
    std::unique_ptr<SsdpReceiveContext> m_Context = std::make_unique<SsdpReceiveContext>();
    std::uint16_t m_Port = 0;
    test::UdpEndpoint m_Responder;
    std::thread m_Worker;
};

TEST_F(ReceiveWorker, RecordsRespondersAndIgnoresTextAfterNul)
{
    Start();
    Send(std::string("LOCATION: http://127.0.0.9/ROVA.XML\0R0VA", 40));
    Send(Reply("LOCATION: http://127.0.0.2/ROVA.XML"));
    Send(Reply("LOCATION: http://127.0.0.2/ROVA.XML"));
    Send(Reply("LOCATION: http://127.0.0.3/ROVA.XML") + std::string("\0tail", 5));
    WaitUntilHandled();
    Stop();
    EXPECT_EQ(Slot(0), "127.0.0.2");
    EXPECT_EQ(Slot(1), "127.0.0.3");
    EXPECT_EQ(Slot(2), "");
}

TEST_F(ReceiveWorker, SeventeenthResponderIsDropped)
{
    Start();
    for (int i = 1; i <= kMaxResults + 1; ++i) {
        Send(Reply("LOCATION: http://127.0.1." + std::to_string(i) + "/ROVA.XML"));
    }
    WaitUntilHandled();
    Stop();
    for (int i = 0; i < kMaxResults; ++i) {
        EXPECT_EQ(Slot(i), "127.0.1." + std::to_string(i + 1));
    }
}

TEST_F(ReceiveWorker, DatagramAfterWindowIsDroppedAndStopWakesWorker)
{
    Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block in recvfrom
    m_Context->bRunning.store(false);
    Send(Reply("LOCATION: http://127.0.0.4/ROVA.XML"));
    const auto started = std::chrono::steady_clock::now();
    m_Socket.WakeReceiver();
    m_Worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(Slot(0), "");
}

TEST_F(ReceiveWorker, EndsAtOnceWhenWindowAlreadyClosed)
{
    Send(Reply("LOCATION: http://127.0.0.5/ROVA.XML"));
    m_Context->bRunning.store(false);
    EXPECT_EQ(SsdpReceiveThread(m_Context.get()), 0u);
    EXPECT_EQ(Slot(0), "");
}

}  // namespace
}  // namespace seekwell
