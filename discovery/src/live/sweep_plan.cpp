#include "live/sweep_plan.h"

#include <seekwell/seekwell.h>

#include <algorithm>

namespace seekwell::live {

namespace {

using std::chrono::milliseconds;

constexpr std::size_t kBatch = 10;
constexpr milliseconds kBatchEvery(1000 * kBatch / SEEKWELL_SWEEP_ADDRESSES_PER_SECOND);
constexpr milliseconds kSecondAfter(1000);

milliseconds BatchOffset(std::size_t index) { return kBatchEvery * static_cast<long>(index / kBatch); }

}  // namespace

void SweepPlan::StartPass(Clock::time_point now)
{
    if (!started_ && !addresses_.empty()) {
        started_ = now;
        firstSent_ = 0;
        secondSent_ = 0;
    }
}

std::vector<in_addr_t> SweepPlan::TakeDue(Clock::time_point now)
{
    std::vector<in_addr_t> due;
    if (!started_) {
        return due;
    }
    while (firstSent_ < addresses_.size() && *started_ + BatchOffset(firstSent_) <= now) {
        due.push_back(addresses_[firstSent_++]);
    }
    while (secondSent_ < addresses_.size() && *started_ + kSecondAfter + BatchOffset(secondSent_) <= now) {
        due.push_back(addresses_[secondSent_++]);
    }
    if (secondSent_ == addresses_.size()) {
        started_.reset();
    }
    return due;
}

std::optional<SweepPlan::Clock::time_point> SweepPlan::NextDue() const
{
    if (!started_) {
        return std::nullopt;
    }
    Clock::time_point next = *started_ + kSecondAfter + BatchOffset(secondSent_);
    if (firstSent_ < addresses_.size()) {
        next = std::min(next, *started_ + BatchOffset(firstSent_));
    }
    return next;
}

}  // namespace seekwell::live
