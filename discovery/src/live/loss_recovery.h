// What a live search does about replies this host dropped: a LAN of many
// robots answering a search at once overflows the socket's receive buffer
// (net.core.rmem_max, 208 KiB unless raised, holds some 160 replies), and the
// kernel drops the rest without a word but a count. In a round where it
// counted drops on an interface, the search asks the devices the kernel's
// neighbour table knows there, and that have not answered this round, one
// unicast M-SEARCH each, paced to 1000 a second, within that interface's
// subnet alone; their answers come one by one. Where that cannot learn all
// who answered, the host is told. Pure: the search loop feeds it the
// counts, the neighbours and the clock, and sends what is due.
#ifndef SEEKWELL_LIVE_LOSS_RECOVERY_H
#define SEEKWELL_LIVE_LOSS_RECOVERY_H

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace seekwell::live {

class LossRecovery {
public:
    using Clock = std::chrono::steady_clock;

    // Replies dropped for want of room on that interface's sockets.
    void OnDropped(unsigned int index, std::uint64_t count);
    // The interfaces that dropped replies this round and have not been
    // asked yet.
    std::vector<unsigned int> Wanting() const;
    // Asks these addresses of the interface's neighbours, those not heard
    // this round, from now on, as many as there is time for before until.
    void Ask(unsigned int index, std::vector<in_addr_t> addresses, Clock::time_point now, Clock::time_point until);
    // The neighbours could not be read: the drops stay unrecovered.
    void CannotAsk(unsigned int index, std::string why);
    // The interface went away: nothing more is asked there.
    void Forget(unsigned int index);

    // The unicast searches due by now: interface and address.
    std::vector<std::pair<unsigned int, in_addr_t>> TakeDue(Clock::time_point now);
    std::optional<Clock::time_point> NextDue() const;

    // What a round lost and could not learn: told to the host once a round.
    struct Loss {
        unsigned int index = 0;
        std::uint64_t dropped = 0;  // replies dropped on the interface this round
        std::string why;            // why they could not all be learnt
    };
    // The round is over: its losses; the next round starts afresh.
    std::vector<Loss> EndRound();
    // Replies dropped and not learnt since the search began.
    std::uint64_t Unrecovered() const { return unrecovered_; }

private:
    struct Interface {
        std::uint64_t dropped = 0;       // this round
        std::uint64_t droppedAfter = 0;  // since it was asked: its asking may have lost some too
        bool asked = false;
        std::string why;
    };

    std::map<unsigned int, Interface> interfaces_;
    std::deque<std::pair<unsigned int, in_addr_t>> due_;
    Clock::time_point next_{};
    std::uint64_t unrecovered_ = 0;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_LOSS_RECOVERY_H
