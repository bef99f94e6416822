#include "live/loss_recovery.h"

#include <algorithm>

namespace seekwell::live {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// A neighbour's own answer to the search it is sent, so the LAN's other
// devices see no more than they would of a sweep.
constexpr microseconds kEachAsk(1000);
constexpr milliseconds kBatchEvery(10);

}  // namespace

void LossRecovery::OnDropped(unsigned int index, std::uint64_t count)
{
    if (count == 0) {
        return;
    }
    Interface& at = interfaces_[index];
    at.dropped += count;
    if (at.asked) {
        at.droppedAfter += count;
    }
}

std::vector<unsigned int> LossRecovery::Wanting() const
{
    std::vector<unsigned int> wanting;
    for (const auto& [index, at] : interfaces_) {
        if (at.dropped != 0 && !at.asked) {
            wanting.push_back(index);
        }
    }
    return wanting;
}

void LossRecovery::Ask(unsigned int index, std::vector<in_addr_t> addresses, Clock::time_point now,
                       Clock::time_point until)
{
    Interface& at = interfaces_[index];
    at.asked = true;
    next_ = std::max(next_, now);
    const auto room = (until - next_) / kEachAsk - static_cast<long>(due_.size());
    const std::size_t fits = room > 0 ? static_cast<std::size_t>(room) : 0;
    if (addresses.size() > fits) {
        at.why = std::to_string(addresses.size()) + " devices are more than the round has time to ask again";
        addresses.resize(fits);
    }
    for (const in_addr_t address : addresses) {
        due_.emplace_back(index, address);
    }
}

void LossRecovery::CannotAsk(unsigned int index, std::string why)
{
    Interface& at = interfaces_[index];
    at.asked = true;
    at.why = std::move(why);
}

void LossRecovery::Forget(unsigned int index)
{
    interfaces_.erase(index);
    due_.erase(std::remove_if(due_.begin(), due_.end(), [index](const auto& each) { return each.first == index; }),
               due_.end());
}

std::vector<std::pair<unsigned int, in_addr_t>> LossRecovery::TakeDue(Clock::time_point now)
{
    std::vector<std::pair<unsigned int, in_addr_t>> taken;
    while (!due_.empty() && next_ <= now) {
        taken.push_back(due_.front());
        due_.pop_front();
        next_ += kEachAsk;
    }
    return taken;
}

std::optional<LossRecovery::Clock::time_point> LossRecovery::NextDue() const
{
    if (due_.empty()) {
        return std::nullopt;
    }
    // A batch at a time, so the search wakes a hundred times a second at most.
    return next_ + kBatchEvery - kEachAsk;
}

std::vector<LossRecovery::Loss> LossRecovery::EndRound()
{
    for (const auto& [index, address] : due_) {
        (void)address;
        Interface& at = interfaces_[index];
        if (at.why.empty()) {
            at.why = "the round ended before every device could be asked again";
        }
    }
    std::vector<Loss> losses;
    for (auto& [index, at] : interfaces_) {
        const bool learnt = at.asked && at.why.empty() && at.droppedAfter == 0;
        if (at.dropped == 0 || learnt) {
            continue;
        }
        if (at.why.empty()) {
            at.why = at.asked ? "more were dropped while the devices were asked again"
                              : "they came too late in the round to ask the devices again";
        }
        losses.push_back(Loss{index, at.dropped, std::move(at.why)});
        unrecovered_ += at.dropped;
    }
    interfaces_.clear();
    due_.clear();
    return losses;
}

}  // namespace seekwell::live
