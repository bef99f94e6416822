// How seekwell-discover shows what a search found. Names come from devices on the network, so
// nothing of them reaches a terminal or a JSON reader unescaped.
#ifndef SEEKWELL_DISCOVER_OUTPUT_H
#define SEEKWELL_DISCOVER_OUTPUT_H

#include <seekwell/seekwell.h>

#include <ostream>
#include <string>

namespace seekwell_discover {

// A JSON string literal (quotes included), always valid UTF-8; null gives null.
std::string JsonValue(const char* text);

// Said when a search reports as many robots as one search can: others may have gone unreported.
extern const char kMostRobotsNote[];

// Index, name and address of records 0..count-1, or a line saying that no robot was found; with
// kMostRobotsNote after the table when the search reported the most it can.
void PrintTable(std::ostream& out, const DISCOVERY_RESULT* records, int count);
// {"count": n, "robots": [{"index": 0, "name": "...", "address": "..."}, ...]}
void PrintJson(std::ostream& out, const DISCOVERY_RESULT* records, int count);

}  // namespace seekwell_discover

#endif  // SEEKWELL_DISCOVER_OUTPUT_H
