#include "live/read_pacing.h"

namespace seekwell::live {

void ReadPacing::OnWake(Clock::time_point now, std::size_t datagrams)
{
    if (now - slotStart_ >= kSlot) {
        // A slot with no wake at all counts as a quiet one.
        lastSlot_ = now - slotStart_ < 2 * kSlot ? inSlot_ : 0;
        slotStart_ = now;
        inSlot_ = 0;
    }
    inSlot_ += datagrams;
    lastWake_ = datagrams;
}

ReadPacing::Clock::duration ReadPacing::PauseBeforeWait() const
{
    const bool storm = lastSlot_ >= kStormDatagramsPerSlot || inSlot_ >= kStormDatagramsPerSlot;
    return storm && lastWake_ < kEnoughForAWake ? Clock::duration(kPause) : Clock::duration::zero();
}

}  // namespace seekwell::live
