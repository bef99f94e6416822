#include "live/round_clock.h"

#include <algorithm>

namespace seekwell::live {

namespace {

using std::chrono::milliseconds;

// UDP is lossy: each round sends its search twice, at its start and again
// this long after (half the period when that is shorter); devices that heard
// the first answer no differently.
constexpr milliseconds kResendAfter(1000);
constexpr std::size_t kSendsPerRound = 2;
// Devices on a link answer within a second of the second send: an interface
// silent this long after a round's start heard nothing.
constexpr milliseconds kQuietAfter(2000);
// Changes to the interfaces come in bursts (a link, then its address): the
// search looks once the burst is over.
constexpr milliseconds kInterfacesSettle(100);
// Devices answer the second send within this long: a burst of replies is in
// (or dropped) by then.
constexpr milliseconds kRepliesSettle(250);

}  // namespace

RoundClock::RoundClock(unsigned int windowMs, unsigned int periodMs, Clock::time_point start)
    : period_(periodMs), roundStart_(start)
{
    if (windowMs != 0) {
        windowEnd_ = start + milliseconds(windowMs);
    }
}

milliseconds RoundClock::SendOffset(std::size_t send) const
{
    return send == 0 ? milliseconds(0) : std::min(kResendAfter, period_ / 2);
}

// A short round looks halfway between its second send and its end.
RoundClock::Clock::time_point RoundClock::LossCheckAt() const
{
    return roundStart_ + SendOffset(1) + std::min(kRepliesSettle, (period_ - SendOffset(1)) / 2);
}

RoundClock::Due RoundClock::Take(Clock::time_point now)
{
    Due due;
    if (!listening_) {
        return due;
    }
    const bool windowOver = windowEnd_ && now >= *windowEnd_;
    const bool roundOver = !windowOver && now >= roundStart_ + period_;
    // A round or window too short to hear everyone is looked at as it ends.
    if (!quietChecked_ && (windowOver || roundOver || now >= roundStart_ + kQuietAfter)) {
        due.quietCheck = true;
        quietChecked_ = true;
    }
    if (windowOver) {
        due.listeningOver = true;
        listening_ = false;
        return due;
    }
    if (roundOver) {
        due.roundOver = true;
        ++round_;
        roundStart_ = now;
        sendsMade_ = 0;
        quietChecked_ = false;
        lossChecked_ = false;
    }
    if (interfacesChanged_ && now >= *interfacesChanged_ + kInterfacesSettle) {
        due.followInterfaces = true;
        interfacesChanged_.reset();
    }
    while (sendsMade_ < kSendsPerRound && now >= roundStart_ + SendOffset(sendsMade_)) {
        ++sendsMade_;
        ++due.sends;
    }
    if (!lossChecked_ && now >= LossCheckAt()) {
        due.lossCheck = true;
        lossChecked_ = true;
    }
    return due;
}

RoundClock::Clock::time_point RoundClock::RoundEnd() const
{
    return windowEnd_ ? std::min(*windowEnd_, roundStart_ + period_) : roundStart_ + period_;
}

void RoundClock::NoteInterfaceChange(Clock::time_point now)
{
    if (!interfacesChanged_) {
        interfacesChanged_ = now;
    }
}

std::optional<RoundClock::Clock::time_point> RoundClock::NextDue() const
{
    if (!listening_) {
        return std::nullopt;
    }
    Clock::time_point next = roundStart_ + period_;
    if (windowEnd_) {
        next = std::min(next, *windowEnd_);
    }
    if (!quietChecked_) {
        next = std::min(next, roundStart_ + kQuietAfter);
    }
    if (sendsMade_ < kSendsPerRound) {
        next = std::min(next, roundStart_ + SendOffset(sendsMade_));
    }
    if (!lossChecked_) {
        next = std::min(next, LossCheckAt());
    }
    if (interfacesChanged_) {
        next = std::min(next, *interfacesChanged_ + kInterfacesSettle);
    }
    return next;
}

}  // namespace seekwell::live
