// Which interfaces heard no device at all: where multicast is filtered, a
// firewall drops the replies or the Wi-Fi isolates its clients, a search
// stays silent, and a host can tell its user so instead of nothing. Pure:
// the search loop reports rounds and answers, and asks when a round's
// listening is over.
#ifndef SEEKWELL_LIVE_QUIET_WATCH_H
#define SEEKWELL_LIVE_QUIET_WATCH_H

#include <string>
#include <unordered_map>
#include <vector>

namespace seekwell::live {

struct WatchedInterface {
    unsigned int index = 0;
    std::string name;
};

class QuietWatch {
public:
    // A round's searches go out on these interfaces; those no longer among
    // them are forgotten.
    void StartRound(const std::vector<WatchedInterface>& searchedOn);
    // A device (not this host) answered, on the interface with that index
    // (one the round does not search on counts only as an answer).
    void OnAnswer(unsigned int index);
    // The round's listening is over: the interfaces that heard nothing this
    // round and were not told quiet since a device last answered there.
    std::vector<std::string> TakeQuiet();
    // Whether any device answered anywhere since the search began.
    bool AnyAnswer() const { return anyAnswer_; }
    // A device answered other than by datagram (a target's web server).
    void OnAnswerElsewhere() { anyAnswer_ = true; }

private:
    struct State {
        std::string name;
        bool answered = false;
        bool told = false;
    };
    std::unordered_map<unsigned int, State> interfaces_;
    bool anyAnswer_ = false;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_QUIET_WATCH_H
