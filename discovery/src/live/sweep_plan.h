// When each address of the swept ranges is sent its unicast M-SEARCH: every
// address twice, a second apart, as UDP may lose either, and never more than
// SEEKWELL_SWEEP_DATAGRAMS_PER_SECOND datagrams a second in all: the first
// copies take the even milliseconds of a pass, the second ones the odd. The
// search wakes for a batch every 10 ms rather than for each datagram. Pure:
// the search loop asks what is due and sends it.
#ifndef SEEKWELL_LIVE_SWEEP_PLAN_H
#define SEEKWELL_LIVE_SWEEP_PLAN_H

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

namespace seekwell::live {

class SweepPlan {
public:
    using Clock = std::chrono::steady_clock;

    explicit SweepPlan(std::vector<in_addr_t> addresses) : addresses_(std::move(addresses)) {}

    // Begins a pass at now, unless one is still under way: a round shorter
    // than a pass goes on with it rather than starting over.
    void StartPass(Clock::time_point now);
    // The addresses due by now, each once for each of its sends.
    std::vector<in_addr_t> TakeDue(Clock::time_point now);
    // When the next batch is due; none when no pass is under way.
    std::optional<Clock::time_point> NextDue() const;
    bool Passing() const { return started_.has_value(); }

private:
    std::vector<in_addr_t> addresses_;
    std::optional<Clock::time_point> started_;
    // Sends made in this pass: the first copies, then the second ones, each
    // in address order.
    std::size_t firstSent_ = 0;
    std::size_t secondSent_ = 0;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_SWEEP_PLAN_H
