#include "live/responder_book.h"

#include <algorithm>

#include "live/announcement.h"

namespace seekwell::live {

namespace {

bool SearchedFor(const RobotFacts& facts, const std::vector<std::string>* searchedOn)
{
    return searchedOn == nullptr || facts.interfaceName.empty() ||
           std::find(searchedOn->begin(), searchedOn->end(), facts.interfaceName) != searchedOn->end();
}

}  // namespace

std::vector<std::pair<ResponderBook::Sender, RobotFacts>> ResponderBook::EndRound(
    int goneAfterMissed, const std::vector<std::string>* searchedOn)
{
    std::vector<std::pair<Sender, RobotFacts>> gone;
    if (goneAfterMissed <= 0) {
        return gone;
    }
    for (auto at = entries_.begin(); at != entries_.end();) {
        Entry& entry = at->second;
        bool forget = false;
        if (entry.state == State::Robot && !entry.rechecking) {
            if (entry.heardRound == round_) {
                entry.missed = 0;
            } else if (SearchedFor(entry.facts, searchedOn)) {
                ++entry.missed;
            }
            forget = entry.missed >= goneAfterMissed;
        } else if (entry.state == State::Skipped) {
            forget = round_ - entry.heardRound >= goneAfterMissed;
        }
        if (!forget) {
            ++at;
            continue;
        }
        if (entry.state == State::Robot) {
            gone.emplace_back(at->first, entry.facts);
        }
        auto next = std::next(at);
        Forget(at);
        at = next;
    }
    return gone;
}

std::vector<std::pair<ResponderBook::Sender, RobotFacts>> ResponderBook::ForgetInterface(
    const std::string& interfaceName)
{
    std::vector<std::pair<Sender, RobotFacts>> gone;
    for (auto at = entries_.begin(); at != entries_.end();) {
        const Entry& entry = at->second;
        if (entry.state != State::Robot || entry.facts.interfaceName != interfaceName) {
            ++at;
            continue;
        }
        gone.emplace_back(at->first, entry.facts);
        auto next = std::next(at);
        Forget(at);
        at = next;
    }
    return gone;
}

bool ResponderBook::WantsReply(Sender sender, unsigned int interfaceIndex) const
{
    const auto found = entries_.find(sender);
    if (found == entries_.end()) {
        return true;
    }
    const Entry& entry = found->second;
    switch (entry.state) {
        case State::Fetching:
            return false;
        case State::Robot:
            return entry.heardRound != round_;
        default:
            // A reply left out is looked at again: a forged one from a
            // device's address must not hide the device's own. Only a fetch
            // is not made twice in a round by the same interface.
            return entry.fetchedRound != round_ || entry.fetchedOn != interfaceIndex;
    }
}

ResponderBook::Action ResponderBook::OnReply(Sender sender, unsigned int interfaceIndex, seekwell_skip_reason skip,
                                             const RobotFacts& facts)
{
    auto found = entries_.find(sender);
    if (found == entries_.end()) {
        // A sender whose description could not be fetched now anyway is not
        // worth forgetting another for.
        if (skip == SEEKWELL_SKIP_NONE && fetching_ >= limits_.fetches) {
            return Overloaded();
        }
        Entry* admitted = Admit(sender);
        if (admitted == nullptr) {
            return Overloaded();
        }
        admitted->facts = facts;
        return Judge(sender, *admitted, interfaceIndex, skip);
    }
    Entry& entry = found->second;
    if (entry.state == State::Robot) {
        if (skip != SEEKWELL_SKIP_NONE) {
            return Action::None;
        }
        entry.heardRound = round_;
        return Recheck(entry, facts);
    }
    if (entry.state == State::Fetching) {
        return Action::None;
    }
    if (skip == SEEKWELL_SKIP_NONE && fetching_ >= limits_.fetches) {
        return Overloaded();
    }
    entry.facts = facts;
    return Judge(sender, entry, interfaceIndex, skip);
}

// A robot that tells of another description, or of a restart, is read again.
ResponderBook::Action ResponderBook::Recheck(Entry& entry, const RobotFacts& facts)
{
    const bool moved = !facts.location.empty() && facts.location != entry.facts.location;
    const bool restarted = !facts.bootId.empty() && facts.bootId != entry.facts.bootId;
    if ((!moved && !restarted) || entry.rechecking || fetching_ >= limits_.fetches) {
        return Action::None;
    }
    entry.facts.location = facts.location.empty() ? entry.facts.location : facts.location;
    entry.facts.bootId = facts.bootId.empty() ? entry.facts.bootId : facts.bootId;
    entry.rechecking = true;
    ++fetching_;
    return Action::Fetch;
}

ResponderBook::Action ResponderBook::OnAsk(Sender sender, const RobotFacts& facts)
{
    const auto found = entries_.find(sender);
    if (found == entries_.end() || found->second.state == State::Skipped) {
        return OnReply(sender, 0, SEEKWELL_SKIP_NONE, facts);
    }
    Entry& entry = found->second;
    if (entry.state == State::Fetching || entry.rechecking || entry.heardRound == round_) {
        return Action::None;
    }
    if (fetching_ >= limits_.fetches) {
        return Overloaded();
    }
    entry.rechecking = true;
    ++fetching_;
    return Action::Fetch;
}

ResponderBook::Action ResponderBook::Judge(Sender sender, Entry& entry, unsigned int interfaceIndex,
                                           seekwell_skip_reason skip)
{
    entry.heardRound = round_;
    if (skip != SEEKWELL_SKIP_NONE) {
        LeaveOut(sender, entry);
        return TellOnce(entry, skip);
    }
    StopAging(entry);
    entry.fetchedRound = round_;
    entry.fetchedOn = interfaceIndex;
    entry.state = State::Fetching;
    ++fetching_;
    return Action::Fetch;
}

ResponderBook::Action ResponderBook::OnFetchSkipped(Sender sender, seekwell_skip_reason skip)
{
    const auto found = entries_.find(sender);
    // A robot that failed a second look is left to the rounds it misses.
    if (found != entries_.end() && found->second.rechecking) {
        EndRecheck(found->second, false);
        return Action::None;
    }
    if (found == entries_.end() || found->second.state != State::Fetching) {
        return Action::None;
    }
    --fetching_;
    LeaveOut(sender, found->second);
    return TellOnce(found->second, skip);
}

const RobotFacts* ResponderBook::OnFetchRobot(Sender sender, std::string name, std::string udn, Sender* movedFrom)
{
    const auto found = entries_.find(sender);
    if (found == entries_.end() || (found->second.state != State::Fetching && !found->second.rechecking)) {
        return nullptr;
    }
    Entry& entry = found->second;
    const bool recheck = entry.rechecking;
    if (recheck) {
        EndRecheck(entry, true);
        // Told again only when the description says something new.
        if (entry.facts.name == name && entry.facts.udn == udn) {
            return nullptr;
        }
    } else {
        --fetching_;
        ++robots_;
        entry.state = State::Robot;
        entry.told = SEEKWELL_SKIP_NONE;
        entry.missed = 0;
    }
    if (!udn.empty()) {
        const auto known = udns_.find(udn);
        if (known != udns_.end() && known->second != sender) {
            if (movedFrom != nullptr) {
                *movedFrom = known->second;
            }
            Forget(known->second);
        }
        if (!recheck || entry.facts.udn != udn) {
            udns_.erase(entry.facts.udn);
        }
        udns_[udn] = sender;
    }
    entry.facts.name = std::move(name);
    entry.facts.udn = std::move(udn);
    return &entry.facts;
}

std::optional<RobotFacts> ResponderBook::OnByebye(Sender sender, const std::string& usn)
{
    const auto found = entries_.find(sender);
    if (found == entries_.end() || found->second.state != State::Robot || !UsnNames(usn, found->second.facts.udn)) {
        return std::nullopt;
    }
    RobotFacts facts = found->second.facts;
    Forget(found);
    return facts;
}

const RobotFacts* ResponderBook::FactsOf(Sender sender) const
{
    const auto found = entries_.find(sender);
    return found != entries_.end() ? &found->second.facts : nullptr;
}

ResponderBook::Entry* ResponderBook::Admit(Sender sender)
{
    if (entries_.size() >= limits_.responders) {
        if (aging_.empty()) {
            return nullptr;
        }
        Forget(entries_.find(aging_.front()));
    }
    Entry& entry = entries_[sender];
    entry.aging = aging_.end();
    return &entry;
}

ResponderBook::Action ResponderBook::Overloaded()
{
    ++overloaded_;
    if (overloadToldRound_ == round_) {
        return Action::None;
    }
    overloadToldRound_ = round_;
    return Action::Overload;
}

// A watch hears the same device every round: a reason is told once, until
// another one comes between.
ResponderBook::Action ResponderBook::TellOnce(Entry& entry, seekwell_skip_reason skip)
{
    if (entry.told == skip) {
        return Action::None;
    }
    entry.told = skip;
    return Action::TellSkip;
}

void ResponderBook::LeaveOut(Sender sender, Entry& entry)
{
    StopAging(entry);
    entry.state = State::Skipped;
    entry.aging = aging_.insert(aging_.end(), sender);
}

void ResponderBook::StopAging(Entry& entry)
{
    if (entry.aging != aging_.end()) {
        aging_.erase(entry.aging);
        entry.aging = aging_.end();
    }
}

void ResponderBook::EndRecheck(Entry& entry, bool stillRobot)
{
    entry.rechecking = false;
    --fetching_;
    if (stillRobot) {
        entry.heardRound = round_;
    }
}

void ResponderBook::Forget(Sender sender)
{
    const auto found = entries_.find(sender);
    if (found != entries_.end()) {
        Forget(found);
    }
}

void ResponderBook::Forget(std::unordered_map<Sender, Entry>::iterator at)
{
    Entry& entry = at->second;
    if (entry.state == State::Robot) {
        --robots_;
        const auto named = udns_.find(entry.facts.udn);
        if (named != udns_.end() && named->second == at->first) {
            udns_.erase(named);
        }
    }
    if (entry.state == State::Fetching || entry.rechecking) {
        --fetching_;
    }
    StopAging(entry);
    entries_.erase(at);
}

}  // namespace seekwell::live
