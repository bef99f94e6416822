// How seekwell-discover shows a live search: one line per event as it comes, as text or as JSON.
#ifndef SEEKWELL_DISCOVER_LIVE_OUTPUT_H
#define SEEKWELL_DISCOVER_LIVE_OUTPUT_H

#include <seekwell/seekwell.h>

#include <set>
#include <string>

namespace seekwell_discover {

enum class LiveFormat { Text, Json };

// The robots answering, one per UDN: a robot that moved to another address, or was renamed,
// comes as ROBOT again without a GONE and is still one robot.
class AnsweringRobots {
public:
    void Count(const seekwell_event& event);
    int Size() const { return static_cast<int>(udns_.size()); }

private:
    std::set<std::string> udns_;
};

// The first line of --explain: which way the blocking call would search.
std::string PathLine(int path, LiveFormat format);

// The line an event prints, newline included; `answering` is the number of robots answering
// after it. Empty for an event that prints nothing in that format (a failed search's end in
// text, which goes to stderr instead).
std::string EventLine(const seekwell_event& event, int answering, LiveFormat format);

// Whether only --explain prints events of this type: no robot comes or goes with them.
bool OnlyExplained(seekwell_event_type type);

// The short code of a reason, as JSON and the Python package name it ("no-marker", "cancelled").
const char* SkipCode(seekwell_skip_reason reason);
const char* DoneCode(seekwell_done_reason reason);

}  // namespace seekwell_discover

#endif  // SEEKWELL_DISCOVER_LIVE_OUTPUT_H
