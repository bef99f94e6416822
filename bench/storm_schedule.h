// When a reply storm sends what: the paced storm datagrams and each robot's reply to a search.
#ifndef BENCH_STORM_SCHEDULE_H
#define BENCH_STORM_SCHEDULE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace stormbench {

using Clock = std::chrono::steady_clock;

// A constant rate for a fixed time: datagram n is due at n / rate seconds after the start.
class StormPacer {
public:
    StormPacer(double ratePerSecond, std::chrono::nanoseconds duration);

    std::uint64_t Total() const { return total_; }
    // Datagrams due by `elapsed` since the start, never more than Total().
    std::uint64_t DueBy(std::chrono::nanoseconds elapsed) const;
    // When datagram `index` (from 0) is due, counted from the start.
    std::chrono::nanoseconds DueAt(std::uint64_t index) const;

private:
    double ratePerSecond_;
    std::uint64_t total_;
};

struct RobotReply {
    Clock::time_point due;
    std::size_t robot;  // index among the robots, from 0
};

// Each robot answers one search once, at a random moment between `earliest` and `latest` after it,
// as devices spread their answers over the time a search allows. Sorted by due time.
std::vector<RobotReply> PlanRobotReplies(Clock::time_point search, std::size_t robots,
                                         std::chrono::milliseconds earliest, std::chrono::milliseconds latest,
                                         std::mt19937& random);

}  // namespace stormbench

#endif  // BENCH_STORM_SCHEDULE_H
