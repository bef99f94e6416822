#include "storm_schedule.h"

#include <algorithm>
#include <cmath>

namespace stormbench {

namespace {

constexpr double kNanosecondsPerSecond = 1e9;

}  // namespace

StormPacer::StormPacer(double ratePerSecond, std::chrono::nanoseconds duration)
    : ratePerSecond_(ratePerSecond),
      total_(static_cast<std::uint64_t>(
          std::llround(ratePerSecond * static_cast<double>(duration.count()) / kNanosecondsPerSecond)))
{
}

std::uint64_t StormPacer::DueBy(std::chrono::nanoseconds elapsed) const
{
    if (elapsed.count() < 0) {
        return 0;
    }
    // Datagram 0 is due at the start itself, so one more than whole intervals passed.
    const double passed = ratePerSecond_ * static_cast<double>(elapsed.count()) / kNanosecondsPerSecond;
    return std::min(total_, static_cast<std::uint64_t>(passed) + 1);
}

std::chrono::nanoseconds StormPacer::DueAt(std::uint64_t index) const
{
    return std::chrono::nanoseconds(
        static_cast<std::int64_t>(std::ceil(static_cast<double>(index) * kNanosecondsPerSecond / ratePerSecond_)));
}

std::vector<RobotReply> PlanRobotReplies(Clock::time_point search, std::size_t robots,
                                         std::chrono::milliseconds earliest, std::chrono::milliseconds latest,
                                         std::mt19937& random)
{
    std::uniform_int_distribution<std::int64_t> delayUs(std::chrono::microseconds(earliest).count(),
                                                        std::chrono::microseconds(latest).count());
    std::vector<RobotReply> replies;
    for (std::size_t robot = 0; robot < robots; ++robot) {
        replies.push_back(RobotReply{search + std::chrono::microseconds(delayUs(random)), robot});
    }
    std::sort(replies.begin(), replies.end(), [](const RobotReply& a, const RobotReply& b) { return a.due < b.due; });
    return replies;
}

}  // namespace stormbench
