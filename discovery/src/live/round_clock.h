// When a live search does what: its rounds, the two sends of each, the look
// for interfaces where nothing answered, the end of the window, and a look at
// the interfaces once a burst of changes has settled. Pure: the search loop
// passes the time in and does what is due; tests pass a time of their own.
#ifndef SEEKWELL_LIVE_ROUND_CLOCK_H
#define SEEKWELL_LIVE_ROUND_CLOCK_H

#include <chrono>
#include <cstddef>
#include <optional>

namespace seekwell::live {

class RoundClock {
public:
    using Clock = std::chrono::steady_clock;

    // What is due, to be done in the order of the fields.
    struct Due {
        bool quietCheck = false;        // the round's listening for quiet interfaces is over
        bool listeningOver = false;     // the window ended: nothing more is sent or heard
        bool roundOver = false;         // a round ended and the next one began
        bool followInterfaces = false;  // the interfaces changed a moment ago
        std::size_t sends = 0;          // searches due now on every interface searched
        bool lossCheck = false;         // the replies to the round's searches are in: were some dropped?
    };

    // windowMs 0: listens until cancelled; periodMs: the time between rounds.
    RoundClock(unsigned int windowMs, unsigned int periodMs, Clock::time_point start);

    Due Take(Clock::time_point now);
    // The kernel said the interfaces changed; they are looked at once the
    // burst is over.
    void NoteInterfaceChange(Clock::time_point now);
    // When something is next due; none once listening is over.
    std::optional<Clock::time_point> NextDue() const;

    bool Listening() const { return listening_; }
    // When the round's listening ends: its period, or the window, is over.
    Clock::time_point RoundEnd() const;
    int Round() const { return round_; }
    // Whether this round's searches went out already: an interface that
    // comes now is searched at once rather than at the next send.
    bool Searched() const { return sendsMade_ > 0; }

private:
    std::chrono::milliseconds SendOffset(std::size_t send) const;
    Clock::time_point LossCheckAt() const;

    std::optional<Clock::time_point> windowEnd_;
    std::chrono::milliseconds period_;
    Clock::time_point roundStart_;
    std::optional<Clock::time_point> interfacesChanged_;
    std::size_t sendsMade_ = 0;
    int round_ = 0;
    bool quietChecked_ = false;
    bool lossChecked_ = false;
    bool listening_ = true;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_ROUND_CLOCK_H
