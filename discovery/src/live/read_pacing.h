// When the search loop lets datagrams gather before it waits again. Under a
// storm of datagrams (a flood, a LAN of many devices answering at once) a
// loop that waits as soon as its sockets are empty wakes for every one or
// two, and each wake costs more than the datagrams it reads. While the rate
// is that of a storm and a wake found only a few, the loop pauses a moment
// before its next wait, so that a wake reads a batch. Pure: the loop tells
// what each wake read, and when.
#ifndef SEEKWELL_LIVE_READ_PACING_H
#define SEEKWELL_LIVE_READ_PACING_H

#include <chrono>
#include <cstddef>

namespace seekwell::live {

class ReadPacing {
public:
    using Clock = std::chrono::steady_clock;

    // How long the rate is measured over.
    static constexpr std::chrono::milliseconds kSlot{10};
    // Datagrams in a slot from which a storm is paced: 20 000 a second.
    static constexpr std::size_t kStormDatagramsPerSlot = 200;
    // A wake that read this many, one system call's worth, needs no pause.
    static constexpr std::size_t kEnoughForAWake = 16;
    // At 100 000 datagrams a second about 25 gather, far from a default
    // receive buffer's 160 replies; a robot's reply waits at most this long.
    static constexpr std::chrono::microseconds kPause{250};

    // A wake of the loop read this many datagrams.
    void OnWake(Clock::time_point now, std::size_t datagrams);
    // How long to pause before the next wait: zero but in a storm.
    Clock::duration PauseBeforeWait() const;

private:
    Clock::time_point slotStart_{};
    std::size_t inSlot_ = 0;
    std::size_t lastSlot_ = 0;
    std::size_t lastWake_ = 0;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_READ_PACING_H
