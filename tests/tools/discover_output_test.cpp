// What seekwell-discover prints: names from the network never reach a terminal or JSON raw.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "countdown.h"
#include "discover_output.h"
#include "live_output.h"

namespace seekwell_discover {
namespace {

TEST(DiscoverOutputTest, JsonStringsAreEscapedAndValidUtf8)
{
    EXPECT_EQ(JsonValue("say \"hi\" \\ now"), "\"say \\\"hi\\\" \\\\ now\"");
    EXPECT_EQ(JsonValue("\x1b\n"), "\"\\u001b\\u000a\"");
    EXPECT_EQ(JsonValue("\x7f\xc2\x9b"), "\"\\u007f\\u009b\"");  // DEL and a C1 control
    EXPECT_EQ(JsonValue("R\xc3\xb6ve\xff"), "\"R\xc3\xb6ve\\ufffd\"");
    EXPECT_EQ(JsonValue("\xf4\x90\x80\x80"), "\"\\ufffd\\ufffd\\ufffd\\ufffd\"");  // above U+10FFFF
    EXPECT_EQ(JsonValue(nullptr), "null");
}

TEST(DiscoverOutputTest, TableAndJsonListEveryRecordInOrder)
{
    char name0[] = "ROVA robot 1", address0[] = "192.0.2.10", name1[] = "R\xc3\xb6ve", address1[] = "192.0.2.11";
    const DISCOVERY_RESULT records[] = {{name0, address0}, {name1, address1}, {nullptr, address1}};
    std::ostringstream table;
    PrintTable(table, records, 3);
    EXPECT_EQ(table.str(),
              "#   Name          Address\n"
              "0   ROVA robot 1  192.0.2.10\n"
              "1   R\xc3\xb6ve          192.0.2.11\n"
              "2   (none)        192.0.2.11\n");
    std::ostringstream json;
    PrintJson(json, records, 2);
    EXPECT_EQ(json.str(),
              "{\"count\": 2, \"robots\": [{\"index\": 0, \"name\": \"ROVA robot 1\", \"address\": "
              "\"192.0.2.10\"}, "
              "{\"index\": 1, \"name\": \"R\xc3\xb6ve\", \"address\": \"192.0.2.11\"}]}\n");

    std::ostringstream none;
    PrintTable(none, records, 0);
    PrintJson(none, records, 0);
    EXPECT_EQ(none.str(), "No robot found.\n{\"count\": 0, \"robots\": []}\n");
}

// Sets LC_CTYPE for one test, and puts the one before back.
class CtypeLocale {
public:
    explicit CtypeLocale(const char* name) : before_(std::setlocale(LC_CTYPE, nullptr))
    {
        chosen_ = std::setlocale(LC_CTYPE, name) != nullptr;
    }
    ~CtypeLocale() { std::setlocale(LC_CTYPE, before_.c_str()); }
    bool Chosen() const { return chosen_; }

private:
    std::string before_;
    bool chosen_ = false;
};

// Names line up by the columns a terminal gives them, pad the others at most to 40 columns, and an
// empty one shows as a missing one does.
TEST(DiscoverOutputTest, TableAlignsNamesByScreenColumnsWithinATerminalsWidth)
{
    const CtypeLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.Chosen());
    const auto table = [](const std::vector<std::string>& names) {
        std::vector<DISCOVERY_RESULT> records;
        for (const std::string& name : names) {
            records.push_back({const_cast<char*>(name.c_str()), const_cast<char*>("192.0.2.10")});
        }
        std::ostringstream out;
        PrintTable(out, records.data(), static_cast<int>(records.size()));
        return out.str();
    };
    const std::string robo = "\xE3\x83\xAD\xE3\x83\x9C";  // two columns a character
    const std::string accented = "Cafe\xCC\x81";          // a combining accent: none
    EXPECT_EQ(table({robo + " 2", accented, "", "ROVA robot"}),
              "#   Name        Address\n0   " + robo + " 2      192.0.2.10\n1   " + accented +
                  "        192.0.2.10\n2   (none)      192.0.2.10\n3   ROVA robot  192.0.2.10\n");
    const std::string wide(40, 'w'), wider(41, 'W'), pad(36, ' ');
    EXPECT_EQ(table({wide, wider, "R"}), "#   Name" + pad + "  Address\n0   " + wide + "  192.0.2.10\n1   " + wider +
                                             "  192.0.2.10\n2   R" + pad + "     192.0.2.10\n");
}

// The tool writes UTF-8 in any locale: the C locale measures nothing beyond ASCII, so the table is
// measured as C.UTF-8 measures it, unless LC_ALL insists (Python's rule, which the module's table
// follows).
TEST(DiscoverOutputTest, TheCLocaleMeasuresAsCUtf8UnlessLcAllInsists)
{
    const CtypeLocale restore("C");
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    for (const char* name : {"LC_ALL", "LANG", "LC_CTYPE"}) {
        const char* value = std::getenv(name);
        saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    unsetenv("LC_CTYPE");
    const struct {
        const char* lcAll;
        const char* lang;
        const char* measuredIn;
    } kRows[] = {
        {nullptr, "C", "C.UTF-8"},
        {nullptr, "no_SUCH.locale", "C.UTF-8"},
        {"C", "C.UTF-8", "C"},
        {nullptr, "C.UTF-8", "C.UTF-8"},
    };
    for (const auto& row : kRows) {
        row.lcAll ? setenv("LC_ALL", row.lcAll, 1) : unsetenv("LC_ALL");
        setenv("LANG", row.lang, 1);
        UseLocaleForWidths();
        EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), row.measuredIn)
            << (row.lcAll ? row.lcAll : "-") << " " << row.lang;
    }
    for (const auto& [name, value] : saved) {
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
}

// Only a full report can have left robots out, so only a full report says so.
TEST(DiscoverOutputTest, TableNotesAFullReportOnly)
{
    DISCOVERY_RESULT records[SEEKWELL_MAX_RESULTS] = {};
    for (DISCOVERY_RESULT& record : records) {
        record.pszName = const_cast<char*>("ROVA robot");
        record.pszAddress = const_cast<char*>("192.0.2.10");
    }
    const std::string note = std::string(kMostRobotsNote) + "\n";
    for (const int count : {SEEKWELL_MAX_RESULTS - 1, SEEKWELL_MAX_RESULTS}) {
        std::ostringstream table;
        PrintTable(table, records, count);
        const std::string text = table.str();
        const bool noted = text.size() > note.size() && text.compare(text.size() - note.size(), note.size(), note) == 0;
        EXPECT_EQ(noted, count == SEEKWELL_MAX_RESULTS) << text;
    }
    EXPECT_EQ(std::string(kMostRobotsNote),
              "16 robots reported, the most one search returns; there may be more on the network.");
}

constexpr const char kUdn[] = "uuid:R0VA-5151-4000-8000-0000c000020a";

// Every event carries a UDN here, so that the lines of those it does not belong to show they
// leave it out.
seekwell_event Event(seekwell_event_type type, const char* name, const char* reason)
{
    seekwell_event event{};
    event.type = type;
    event.name = name;
    event.address = "192.0.2.10";
    event.location = "http://192.0.2.10/ROVA.XML";
    event.interface_name = "eth0";
    event.reason = reason;
    event.udn = kUdn;
    return event;
}

TEST(DiscoverOutputTest, LiveLinesInBothFormats)
{
    // A UDN comes from the network like a name, and is escaped like one.
    seekwell_event robot = Event(SEEKWELL_EVENT_ROBOT, "R\xc3\xb6ve\x1b", "");
    robot.udn = "uuid:\"R0VA\"\x1b\xff";
    seekwell_event skipped = Event(SEEKWELL_EVENT_SKIPPED, "", "description fetch: HTTP status 404");
    skipped.skip_reason = SEEKWELL_SKIP_HTTP_STATUS;
    skipped.http_status = 404;
    // An interface's name is escaped like a name, in the line and in the reason that quotes it.
    seekwell_event quiet = Event(SEEKWELL_EVENT_QUIET, "", "no device answered the search on eth0\x1b[2J");
    quiet.interface_name = "eth0\x1b[2J";
    seekwell_event dropped = Event(SEEKWELL_EVENT_DROPPED, "", "this host dropped 12 replies on eth0\x1b[2J");
    dropped.interface_name = "eth0\x1b[2J";
    seekwell_event cancelled = Event(SEEKWELL_EVENT_DONE, "", "cancelled");
    cancelled.done_reason = SEEKWELL_DONE_CANCELLED;
    seekwell_event failed = Event(SEEKWELL_EVENT_DONE, "", "no interface can search");
    failed.done_reason = SEEKWELL_DONE_FAILED;
    const struct {
        seekwell_event event;
        const char* text;
        const char* json;
    } kCases[] = {
        {robot, "robot    192.0.2.10       R\xc3\xb6ve?\n",
         "{\"event\": \"robot\", \"name\": \"R\xc3\xb6ve\\u001b\", \"address\": \"192.0.2.10\", "
         "\"location\": \"http://192.0.2.10/ROVA.XML\", \"interface\": \"eth0\", "
         "\"udn\": \"uuid:\\\"R0VA\\\"\\u001b\\ufffd\"}\n"},
        // An empty name shows as the table shows it; JSON keeps it empty.
        {Event(SEEKWELL_EVENT_ROBOT, "", ""), "robot    192.0.2.10       (none)\n",
         "{\"event\": \"robot\", \"name\": \"\", \"address\": \"192.0.2.10\", "
         "\"location\": \"http://192.0.2.10/ROVA.XML\", \"interface\": \"eth0\", "
         "\"udn\": \"uuid:R0VA-5151-4000-8000-0000c000020a\"}\n"},
        {Event(SEEKWELL_EVENT_GONE, "R1", ""), "gone     192.0.2.10       R1\n",
         "{\"event\": \"gone\", \"name\": \"R1\", \"address\": \"192.0.2.10\", "
         "\"location\": \"http://192.0.2.10/ROVA.XML\", \"interface\": \"eth0\", "
         "\"udn\": \"uuid:R0VA-5151-4000-8000-0000c000020a\"}\n"},
        {skipped, "skipped  192.0.2.10       description fetch: HTTP status 404\n",
         "{\"event\": \"skipped\", \"address\": \"192.0.2.10\", \"location\": \"http://192.0.2.10/ROVA.XML\", "
         "\"interface\": \"eth0\", \"reason\": \"http-status\", \"detail\": \"description fetch: HTTP status 404\", "
         "\"http_status\": 404}\n"},
        {quiet, "quiet    eth0?[2J         no device answered the search on eth0?[2J\n",
         "{\"event\": \"quiet\", \"interface\": \"eth0\\u001b[2J\", "
         "\"detail\": \"no device answered the search on eth0\\u001b[2J\"}\n"},
        {dropped, "dropped  eth0?[2J         this host dropped 12 replies on eth0?[2J\n",
         "{\"event\": \"dropped\", \"interface\": \"eth0\\u001b[2J\", "
         "\"detail\": \"this host dropped 12 replies on eth0\\u001b[2J\"}\n"},
        {cancelled, "3 robot(s) found\n", "{\"event\": \"done\", \"reason\": \"cancelled\", \"count\": 3}\n"},
        // A search that could not run says so on stderr, not as a count of robots.
        {failed, "", "{\"event\": \"done\", \"reason\": \"failed\", \"count\": 3}\n"},
    };
    for (const auto& entry : kCases) {
        EXPECT_EQ(EventLine(entry.event, 3, LiveFormat::Text), entry.text);
        EXPECT_EQ(EventLine(entry.event, 3, LiveFormat::Json), entry.json);
    }
    EXPECT_EQ(PathLine(SEEKWELL_PATH_FINDER, LiveFormat::Text), "blocking call: finder helper\n");
    EXPECT_EQ(PathLine(SEEKWELL_PATH_BUILT_IN, LiveFormat::Json),
              "{\"event\": \"path\", \"blocking_call\": \"built-in\"}\n");
    EXPECT_EQ(PathLine(SEEKWELL_PATH_NONE, LiveFormat::Text), "blocking call: no search\n");
}

// Without --explain a live search prints only what comes and goes: robots and the end.
TEST(DiscoverOutputTest, OnlyExplainPrintsWhatNoRobotComesOrGoesWith)
{
    for (const auto type : {SEEKWELL_EVENT_ROBOT, SEEKWELL_EVENT_GONE, SEEKWELL_EVENT_DONE}) {
        EXPECT_FALSE(OnlyExplained(type)) << type;
    }
    for (const auto type : {SEEKWELL_EVENT_SKIPPED, SEEKWELL_EVENT_QUIET, SEEKWELL_EVENT_DROPPED}) {
        EXPECT_TRUE(OnlyExplained(type)) << type;
    }
}

// The count at the end is of robots, not of ROBOT lines: a robot that moved to another address
// comes again under its UDN without a GONE.
TEST(DiscoverOutputTest, AnsweringRobotsAreCountedByUdn)
{
    const struct {
        seekwell_event_type type;
        const char* address;
        const char* udn;
        int answering;
    } kSteps[] = {
        {SEEKWELL_EVENT_ROBOT, "192.0.2.10", "uuid:R0VA-a", 1}, {SEEKWELL_EVENT_ROBOT, "192.0.2.11", "uuid:R0VA-b", 2},
        {SEEKWELL_EVENT_ROBOT, "192.0.2.12", "uuid:R0VA-a", 2},  // moved
        {SEEKWELL_EVENT_SKIPPED, "192.0.2.13", "", 2},          {SEEKWELL_EVENT_GONE, "192.0.2.12", "uuid:R0VA-a", 1},
        {SEEKWELL_EVENT_GONE, "192.0.2.12", "uuid:R0VA-a", 1},   // told twice: still one robot left
        {SEEKWELL_EVENT_ROBOT, "192.0.2.10", "uuid:R0VA-a", 2},  // back again
    };
    AnsweringRobots answering;
    for (const auto& step : kSteps) {
        seekwell_event event = Event(step.type, "R", "");
        event.address = step.address;
        event.udn = step.udn;
        answering.Count(event);
        EXPECT_EQ(answering.Size(), step.answering) << step.address << " " << step.udn;
    }
}

// The codes are a table indexed by the library's values: each must sit at its value.
TEST(DiscoverOutputTest, ReasonCodesMatchTheLibrarysValues)
{
    EXPECT_STREQ(SkipCode(SEEKWELL_SKIP_NO_MARKER), "no-marker");
    EXPECT_STREQ(SkipCode(SEEKWELL_SKIP_LOCATION_ELSEWHERE), "location-elsewhere");
    EXPECT_STREQ(SkipCode(SEEKWELL_SKIP_HTTP_STATUS), "http-status");
    EXPECT_STREQ(SkipCode(SEEKWELL_SKIP_NO_ROBOT_UDN), "no-robot-udn");
    EXPECT_STREQ(SkipCode(SEEKWELL_SKIP_OFF_SUBNET), "off-subnet");
    EXPECT_STREQ(SkipCode(SEEKWELL_SKIP_OVERLOAD), "overload");
    EXPECT_STREQ(SkipCode(static_cast<seekwell_skip_reason>(SEEKWELL_SKIP_OVERLOAD + 1)), "unknown");
    EXPECT_STREQ(DoneCode(SEEKWELL_DONE_WINDOW_OVER), "window-over");
    EXPECT_STREQ(DoneCode(SEEKWELL_DONE_FAILED), "failed");
    EXPECT_STREQ(DoneCode(static_cast<seekwell_done_reason>(-1)), "unknown");
}

TEST(DiscoverOutputTest, CountdownCountsDownThenBlanksItsLine)
{
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        Countdown countdown(out, std::chrono::milliseconds(1500), std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    }
    std::rewind(out);
    std::string written;
    for (int c; (c = std::fgetc(out)) != EOF;) {
        written += static_cast<char>(c);
    }
    std::fclose(out);
    EXPECT_EQ(written.rfind("\rSearching for robots:  2 s left ", 0), 0u) << written;
    EXPECT_NE(written.find("\rSearching for robots:  1 s left "), std::string::npos);
    EXPECT_NE(written.find("\rReading robot descriptions..."), std::string::npos);
    EXPECT_EQ(written.substr(written.size() - 42), "\r" + std::string(40, ' ') + "\r");
}

}  // namespace
}  // namespace seekwell_discover
