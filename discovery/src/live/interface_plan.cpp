#include "live/interface_plan.h"

#include <net/if.h>

#include "platform/interface_rule.h"

namespace seekwell::live {

namespace {

bool Carrier(unsigned int flags) { return (flags & IFF_RUNNING) != 0; }

}  // namespace

bool InterfacePlan::Chosen(const platform::Ipv4Interface& each) const
{
    // A named interface is taken as the host names it, whatever it can do;
    // otherwise the searchable rule, down or up.
    return named_.empty() ? platform::IsSearchableInterface(each.flags | IFF_UP) : each.name == named_;
}

bool InterfacePlan::Searchable(const platform::Ipv4Interface& each) const
{
    return Chosen(each) && (each.flags & IFF_UP) != 0 && !each.links.empty();
}

InterfaceChanges InterfacePlan::Follow(const platform::Ipv4Listing& listing)
{
    InterfaceChanges changes;
    for (auto at = searched_.begin(); at != searched_.end();) {
        const platform::Ipv4Interface* now = listing.ByIndex(at->first);
        if (now != nullptr && Searchable(*now) && now->links == at->second.links && now->name == at->second.name) {
            if (Carrier(now->flags) && !Carrier(at->second.flags)) {
                changes.carrierBack.push_back(at->first);
            }
            at->second.flags = now->flags;
            ++at;
            continue;
        }
        changes.close.push_back(at->first);
        at = searched_.erase(at);
    }
    std::set<unsigned int> known;
    for (const platform::Ipv4Interface& each : listing.interfaces) {
        if (!Chosen(each) || each.links.empty()) {
            continue;
        }
        known.insert(each.index);
        if (Searchable(each) && searched_.count(each.index) == 0) {
            searched_.emplace(each.index, each);
            changes.open.push_back(each);
        }
    }
    for (const unsigned int index : known_) {
        if (known.count(index) == 0) {
            changes.forget.push_back(index);
        }
    }
    known_ = std::move(known);
    return changes;
}

const platform::Ipv4Interface* InterfacePlan::Searched(unsigned int index) const
{
    const auto found = searched_.find(index);
    return found != searched_.end() ? &found->second : nullptr;
}

bool InterfacePlan::HasCarrier(unsigned int index) const
{
    const platform::Ipv4Interface* searched = Searched(index);
    return searched != nullptr && Carrier(searched->flags);
}

}  // namespace seekwell::live
