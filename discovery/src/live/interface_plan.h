// Which interfaces a live search searches on, followed as the kernel's
// listing of them changes: an interface is known by its index and compared
// by value, so a burst that replaces an address, a label, a link down for a
// while or one without carrier are each told apart. Pure: the search loop
// reads the listing and acts on the changes.
#ifndef SEEKWELL_LIVE_INTERFACE_PLAN_H
#define SEEKWELL_LIVE_INTERFACE_PLAN_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/interface_listing.h"

namespace seekwell::live {

struct InterfaceChanges {
    // Sockets to close: the interface went away, is down for now, or its
    // addresses changed. Indexes.
    std::vector<unsigned int> close;
    // Sockets to open after those closed, and to search on at once.
    std::vector<platform::Ipv4Interface> open;
    // Searched interfaces that gained carrier: searched again at once, as a
    // search sent without carrier went nowhere. Indexes.
    std::vector<unsigned int> carrierBack;
    // The robots heard there are gone: the interface was removed, its last
    // IPv4 address went, or it is no longer one the search chose. One that is
    // down or without carrier keeps them.
    std::vector<unsigned int> forget;
};

class InterfacePlan {
public:
    // named: the one interface the host named; empty: every interface that
    // can multicast and is not loopback.
    explicit InterfacePlan(std::string named) : named_(std::move(named)) {}

    InterfaceChanges Follow(const platform::Ipv4Listing& listing);
    // The interface with that index when it is searched now (chosen, up and
    // with an IPv4 address); nullptr otherwise.
    const platform::Ipv4Interface* Searched(unsigned int index) const;
    // Whether a searched interface has carrier: a round searches there only
    // then. The kernel tells of carrier up to a second after a link comes
    // up, so sockets open at once and searches go out meanwhile.
    bool HasCarrier(unsigned int index) const;
    const std::map<unsigned int, platform::Ipv4Interface>& AllSearched() const { return searched_; }
    // Its sockets could not be opened: it is opened again at the next look.
    void Unsearch(unsigned int index) { searched_.erase(index); }

private:
    bool Chosen(const platform::Ipv4Interface& each) const;
    bool Searchable(const platform::Ipv4Interface& each) const;

    std::string named_;
    // As they were when their sockets opened, with the flags of the last look.
    std::map<unsigned int, platform::Ipv4Interface> searched_;
    // Chosen interfaces with an IPv4 address at the last look, up or not.
    std::set<unsigned int> known_;
};

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_INTERFACE_PLAN_H
