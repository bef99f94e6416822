#include "live/sweep_plan.h"

#include <seekwell/seekwell.h>

#include <algorithm>

namespace seekwell::live {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr microseconds kEachDatagram(1000000 / SEEKWELL_SWEEP_DATAGRAMS_PER_SECOND);
constexpr milliseconds kSecondAfter(1000);
constexpr milliseconds kBatchEvery(10);

// When the first and the second copy to the address at index go, after the
// pass began: interleaved, so that together they keep to the rate.
microseconds FirstAt(std::size_t index) { return kEachDatagram * static_cast<long>(2 * index); }
microseconds SecondAt(std::size_t index) { return FirstAt(index) + kSecondAfter + kEachDatagram; }

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
    while (firstSent_ < addresses_.size() && *started_ + FirstAt(firstSent_) <= now) {
        due.push_back(addresses_[firstSent_++]);
    }
    while (secondSent_ < firstSent_ && *started_ + SecondAt(secondSent_) <= now) {
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
    microseconds next = SecondAt(secondSent_);
    if (firstSent_ < addresses_.size()) {
        next = std::min(next, FirstAt(firstSent_));
    }
    // Rounded up to the batch, so a wake finds a batch due.
    const auto batches = (next + kBatchEvery - microseconds(1)) / kBatchEvery;
    return *started_ + kBatchEvery * batches;
}

}  // namespace seekwell::live
