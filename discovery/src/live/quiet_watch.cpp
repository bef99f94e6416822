#include "live/quiet_watch.h"

#include <algorithm>

namespace seekwell::live {

void QuietWatch::StartRound(const std::vector<WatchedInterface>& searchedOn)
{
    for (auto at = interfaces_.begin(); at != interfaces_.end();) {
        const unsigned int index = at->first;
        const bool still = std::any_of(searchedOn.begin(), searchedOn.end(),
                                       [index](const WatchedInterface& each) { return each.index == index; });
        at = still ? std::next(at) : interfaces_.erase(at);
    }
    for (const WatchedInterface& each : searchedOn) {
        State& state = interfaces_[each.index];
        state.name = each.name;
        state.answered = false;
    }
}

void QuietWatch::OnAnswer(unsigned int index)
{
    anyAnswer_ = true;
    const auto found = interfaces_.find(index);
    if (found != interfaces_.end()) {
        found->second.answered = true;
        found->second.told = false;
    }
}

std::vector<std::string> QuietWatch::TakeQuiet()
{
    std::vector<std::string> quiet;
    for (auto& [index, state] : interfaces_) {
        if (!state.answered && !state.told) {
            state.told = true;
            quiet.push_back(state.name);
        }
    }
    std::sort(quiet.begin(), quiet.end());
    return quiet;
}

}  // namespace seekwell::live
