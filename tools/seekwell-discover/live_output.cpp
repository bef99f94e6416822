#include "live_output.h"

#include <lan_text.h>

#include <cstdio>

#include "discover_output.h"

namespace seekwell_discover {

namespace {

// Each code at the index of its enum value.
constexpr const char* kSkipCodes[] = {
    "none",
    "no-marker",
    "other-interface",
    "bad-location",
    "location-not-unicast",
    "location-elsewhere",
    "connect-timeout",
    "connect-refused",
    "fetch-failed",
    "http-status",
    "body-over-limit",
    "no-robot-udn",
    "off-subnet",
    "own-address",
    "overload",
};
constexpr const char* kDoneCodes[] = {"none", "window-over", "cancelled", "failed"};
constexpr const char kUnknownCode[] = "unknown";

// Text lines: the event's word, then the address in a column wide enough for any IPv4 address.
constexpr int kWordWidth = 9;
constexpr int kAddressWidth = 17;

template <std::size_t N>
const char* CodeAt(const char* const (&codes)[N], int value)
{
    return value >= 0 && static_cast<std::size_t>(value) < N ? codes[value] : kUnknownCode;
}

// shown: the text as the terminal may be shown it.
std::string TextLine(const char* word, const char* address, const std::string& shown)
{
    char columns[kWordWidth + kAddressWidth + 1];
    std::snprintf(columns, sizeof columns, "%-*s%-*s", kWordWidth, word, kAddressWidth,
                  lan_text::TerminalText(address).c_str());
    return columns + shown + "\n";
}

std::string RobotText(const seekwell_event& event, int answering)
{
    switch (event.type) {
        case SEEKWELL_EVENT_ROBOT:
            return TextLine("robot", event.address, ShownName(event.name));
        case SEEKWELL_EVENT_GONE:
            return TextLine("gone", event.address, ShownName(event.name));
        case SEEKWELL_EVENT_SKIPPED:
            return TextLine("skipped", event.address, lan_text::TerminalText(event.reason));
        case SEEKWELL_EVENT_QUIET:
            return TextLine("quiet", event.interface_name, lan_text::TerminalText(event.reason));
        case SEEKWELL_EVENT_DROPPED:
            return TextLine("dropped", event.interface_name, lan_text::TerminalText(event.reason));
        case SEEKWELL_EVENT_DONE:
            break;
    }
    if (event.done_reason == SEEKWELL_DONE_FAILED) {
        return "";
    }
    return std::to_string(answering) + " robot(s) found\n";
}

std::string Field(const char* key, const std::string& json) { return std::string(", \"") + key + "\": " + json; }

std::string DeviceFields(const seekwell_event& event)
{
    return Field("address", JsonValue(event.address)) + Field("location", JsonValue(event.location)) +
           Field("interface", JsonValue(event.interface_name));
}

std::string RobotJson(const seekwell_event& event, int answering)
{
    switch (event.type) {
        case SEEKWELL_EVENT_ROBOT:
        case SEEKWELL_EVENT_GONE:
            return std::string("{\"event\": \"") + (event.type == SEEKWELL_EVENT_ROBOT ? "robot" : "gone") + "\"" +
                   Field("name", JsonValue(event.name)) + DeviceFields(event) + Field("udn", JsonValue(event.udn)) +
                   "}\n";
        case SEEKWELL_EVENT_SKIPPED:
            return "{\"event\": \"skipped\"" + DeviceFields(event) +
                   Field("reason", JsonValue(SkipCode(event.skip_reason))) + Field("detail", JsonValue(event.reason)) +
                   Field("http_status", std::to_string(event.http_status)) + "}\n";
        case SEEKWELL_EVENT_QUIET:
        case SEEKWELL_EVENT_DROPPED:
            return std::string("{\"event\": \"") + (event.type == SEEKWELL_EVENT_QUIET ? "quiet" : "dropped") + "\"" +
                   Field("interface", JsonValue(event.interface_name)) + Field("detail", JsonValue(event.reason)) +
                   "}\n";
        case SEEKWELL_EVENT_DONE:
            break;
    }
    return "{\"event\": \"done\"" + Field("reason", JsonValue(DoneCode(event.done_reason))) +
           Field("count", std::to_string(answering)) + "}\n";
}

}  // namespace

void AnsweringRobots::Count(const seekwell_event& event)
{
    if (event.type == SEEKWELL_EVENT_ROBOT) {
        udns_.insert(event.udn);
    } else if (event.type == SEEKWELL_EVENT_GONE) {
        udns_.erase(event.udn);
    }
}

bool OnlyExplained(seekwell_event_type type)
{
    return type == SEEKWELL_EVENT_SKIPPED || type == SEEKWELL_EVENT_QUIET || type == SEEKWELL_EVENT_DROPPED;
}

const char* SkipCode(seekwell_skip_reason reason) { return CodeAt(kSkipCodes, reason); }

const char* DoneCode(seekwell_done_reason reason) { return CodeAt(kDoneCodes, reason); }

std::string PathLine(int path, LiveFormat format)
{
    const bool json = format == LiveFormat::Json;
    switch (path) {
        case SEEKWELL_PATH_FINDER:
            return json ? "{\"event\": \"path\", \"blocking_call\": \"finder\"}\n" : "blocking call: finder helper\n";
        case SEEKWELL_PATH_BUILT_IN:
            return json ? "{\"event\": \"path\", \"blocking_call\": \"built-in\"}\n"
                        : "blocking call: built-in search\n";
        default:
            return json ? "{\"event\": \"path\", \"blocking_call\": \"none\"}\n" : "blocking call: no search\n";
    }
}

std::string EventLine(const seekwell_event& event, int answering, LiveFormat format)
{
    return format == LiveFormat::Json ? RobotJson(event, answering) : RobotText(event, answering);
}

}  // namespace seekwell_discover
