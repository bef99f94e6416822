#include "live/responder_book.h"

namespace seekwell::live {

std::vector<std::pair<ResponderBook::Sender, RobotFacts>> ResponderBook::StartRound(int goneAfterMissed)
{
    ++round_;
    std::vector<std::pair<Sender, RobotFacts>> gone;
    if (goneAfterMissed <= 0) {
        return gone;
    }
    for (auto at = entries_.begin(); at != entries_.end();) {
        const Entry& entry = at->second;
        const int missed = round_ - 1 - entry.heardRound;
        if (entry.state == State::Fetching || entry.rechecking || missed < goneAfterMissed) {
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
        if (skip == SEEKWELL_SKIP_NONE) {
            entry.heardRound = round_;
        }
        return Action::None;
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

const RobotFacts* ResponderBook::OnFetchRobot(Sender sender, std::string name)
{
    const auto found = entries_.find(sender);
    if (found != entries_.end() && found->second.rechecking) {
        EndRecheck(found->second, true);
        return nullptr;
    }
    if (found == entries_.end() || found->second.state != State::Fetching) {
        return nullptr;
    }
    Entry& entry = found->second;
    --fetching_;
    ++robots_;
    entry.state = State::Robot;
    entry.told = SEEKWELL_SKIP_NONE;
    entry.facts.name = std::move(name);
    return &entry.facts;
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

void ResponderBook::Forget(std::unordered_map<Sender, Entry>::iterator at)
{
    Entry& entry = at->second;
    if (entry.state == State::Robot) {
        --robots_;
    }
    if (entry.state == State::Fetching || entry.rechecking) {
        --fetching_;
    }
    StopAging(entry);
    entries_.erase(at);
}

}  // namespace seekwell::live
