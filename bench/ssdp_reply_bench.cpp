// The receive worker's work per datagram: what recvfrom leaves in the buffer,
// the terminating NUL, and HandleSsdpReply. The step is timed with and
// without clearing the whole 64 KiB buffer first; the loopback send/receive
// pair beside it is the kernel's share of the same datagram.
#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <cstring>
#include <string>

#include "allocation_counter.h"
#include "builtin/ssdp_receive.h"
#include "loopback_sockets.h"
#include "sample_texts.h"

namespace seekwell {
namespace {

constexpr const char kRobotHost[] = "192.0.2.17";
constexpr const char kOtherHost[] = "192.0.2.40";

enum class Datagram { RobotReply, OtherReply, LargestRobotReply };
enum class Clearing { WholeBuffer, TerminatorOnly };

std::string DatagramText(Datagram kind)
{
    switch (kind) {
        case Datagram::RobotReply:
            return bench::RobotReply(kRobotHost, bench::kTypicalReplyBytes);
        case Datagram::OtherReply:
            return bench::OtherDeviceReply(kOtherHost, bench::kTypicalReplyBytes);
        case Datagram::LargestRobotReply:
            return bench::RobotReply(kRobotHost, bench::kLargestUdpPayloadBytes);
    }
    return std::string();
}

// 15 other responders already heard, so the robot's address is compared with
// every earlier slot before it is found (or stored) in the last one.
void FillOtherResponders(AddressTable& table)
{
    std::memset(table, 0, sizeof table);
    for (int slot = 0; slot < kMaxResults - 1; ++slot) {
        const std::string address = "192.0.2." + std::to_string(100 + slot);
        std::strcpy(table[slot], address.c_str());
    }
}

// The worker's buffers, static like the worker's stack frame is long-lived.
struct WorkerBuffers {
    char receive[kReceiveBufferSize];
    ReplyScratch scratch;
    AddressTable table;
};
WorkerBuffers g_worker;

void SetDatagramCounters(benchmark::State& state, std::size_t datagramBytes)
{
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(datagramBytes));
    state.counters["datagram_bytes"] = static_cast<double>(datagramBytes);
}

void BM_ReceiveStep(benchmark::State& state, Datagram kind, Clearing clearing)
{
    const std::string datagram = DatagramText(kind);
    FillOtherResponders(g_worker.table);
    const bench::AllocationProbe probe;
    for (auto _ : state) {
        if (clearing == Clearing::WholeBuffer) {
            std::memset(g_worker.receive, 0, sizeof g_worker.receive);
        }
        std::memcpy(g_worker.receive, datagram.data(), datagram.size());  // as recvfrom would
        g_worker.receive[datagram.size()] = '\0';
        HandleSsdpReply(g_worker.receive, g_worker.table, g_worker.scratch);
        benchmark::ClobberMemory();
    }
    probe.Report(state);
    SetDatagramCounters(state, datagram.size());
    const bool recorded = std::strcmp(g_worker.table[kMaxResults - 1], kRobotHost) == 0;
    if (recorded != (kind != Datagram::OtherReply)) {
        state.SkipWithError("the reply was not handled as a robot's or another device's should be");
    }
}

BENCHMARK_CAPTURE(BM_ReceiveStep, robot_300B_clear_64KiB, Datagram::RobotReply, Clearing::WholeBuffer);
BENCHMARK_CAPTURE(BM_ReceiveStep, robot_300B_nul_only, Datagram::RobotReply, Clearing::TerminatorOnly);
BENCHMARK_CAPTURE(BM_ReceiveStep, other_300B_clear_64KiB, Datagram::OtherReply, Clearing::WholeBuffer);
BENCHMARK_CAPTURE(BM_ReceiveStep, other_300B_nul_only, Datagram::OtherReply, Clearing::TerminatorOnly);
BENCHMARK_CAPTURE(BM_ReceiveStep, robot_65507B_clear_64KiB, Datagram::LargestRobotReply, Clearing::WholeBuffer);
BENCHMARK_CAPTURE(BM_ReceiveStep, robot_65507B_nul_only, Datagram::LargestRobotReply, Clearing::TerminatorOnly);

// One sendto and the worker's recvfrom of the same datagram on loopback.
void BM_LoopbackSendReceive(benchmark::State& state, Datagram kind)
{
    const std::string datagram = DatagramText(kind);
    const test::UdpEndpoint sender;
    const test::UdpEndpoint receiver;
    const sockaddr_in destination = test::Address("127.0.0.1", receiver.Port());
    for (auto _ : state) {
        sendto(sender.Fd(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&destination),
               sizeof destination);
        const ssize_t received =
            recvfrom(receiver.Fd(), g_worker.receive, kMaxDatagramSize, MSG_DONTWAIT, nullptr, nullptr);
        if (received != static_cast<ssize_t>(datagram.size())) {
            state.SkipWithError("the datagram did not come back whole");
            break;
        }
    }
    SetDatagramCounters(state, datagram.size());
}

BENCHMARK_CAPTURE(BM_LoopbackSendReceive, robot_300B, Datagram::RobotReply);
BENCHMARK_CAPTURE(BM_LoopbackSendReceive, robot_65507B, Datagram::LargestRobotReply);

}  // namespace
}  // namespace seekwell
