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

// A robot's name as a terminal is shown it (lan_text::TerminalText), an empty one as a missing one:
// "(none)", in the table and in the live lines alike.
std::string ShownName(const char* name);

// Said when a search reports as many robots as one search can: others may have gone unreported.
extern const char kMostRobotsNote[];

// Index, name and address of records 0..count-1, or a line saying that no robot was found; with
// kMostRobotsNote after the table when the search reported the most it can. Names are aligned by
// their width on screen under the LC_CTYPE locale (see UseLocaleForWidths), padded to at most 40
// columns; an empty name shows as "(none)", as a missing one does.
void PrintTable(std::ostream& out, const DISCOVERY_RESULT* records, int count);

// Takes the user's LC_CTYPE locale to measure the table's names. The tool writes UTF-8 whatever the
// locale, so the C locale, which measures no character beyond ASCII, gives way to C.UTF-8, as
// Python's does: the module's table stays the tool's.
void UseLocaleForWidths();
// {"count": n, "robots": [{"index": 0, "name": "...", "address": "..."}, ...]}
void PrintJson(std::ostream& out, const DISCOVERY_RESULT* records, int count);

}  // namespace seekwell_discover

#endif  // SEEKWELL_DISCOVER_OUTPUT_H
