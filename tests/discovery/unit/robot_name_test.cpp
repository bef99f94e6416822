// The one form of a robot's name that the finder path and the live search hand a host.
#include "robot_name.h"

#include <gtest/gtest.h>

#include <string>

namespace seekwell {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

std::string Repeated(const std::string& text, std::size_t times)
{
    std::string all;
    for (std::size_t i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

TEST(RobotName, ValidUtf8WithoutControlCharactersAndAtMost2047Bytes)
{
    const struct {
        const char* what;
        std::string raw;
        std::string name;
    } kRows[] = {
        {"plain", "Kitchen robot", "Kitchen robot"},
        {"Japanese", "\xE3\x83\xAD\xE3\x83\x9C 1", "\xE3\x83\xAD\xE3\x83\x9C 1"},
        {"Latin-1", "Caf\xE9 robot", "Caf" + kReplacement + " robot"},
        {"ESC and BEL", "\x1B]0;title\x07\x1B[31mred", "]0;title[31mred"},
        {"tab, CR, LF, DEL", "a\tb\r\nc\x7F", "abc"},
        {"C1 control", "a\xC2\x9B z", "a z"},
        {"no-break space stays", "a\xC2\xA0 z", "a\xC2\xA0 z"},
        {"overlong NUL", "\xC0\x80", kReplacement + kReplacement},
        {"surrogate", "\xED\xA0\x80", Repeated(kReplacement, 3)},
        {"above U+10FFFF", "\xF4\x90\x80\x80", Repeated(kReplacement, 4)},
        {"character cut short", "ab\xE3\x83", "ab" + kReplacement + kReplacement},
        {"4000 bytes", std::string(4000, 'n'), std::string(2047, 'n')},
        {"cut before a character that would pass 2047", Repeated("\xE3\x83\xAD", 1334), Repeated("\xE3\x83\xAD", 682)},
        {"four-byte character ending at 2047", std::string(2043, 'a') + "\xF0\x9F\xA4\x96-",
         std::string(2043, 'a') + "\xF0\x9F\xA4\x96"},
        {"cut made on what is reported", Repeated("\xE9", 1000), Repeated(kReplacement, 682)},
        {"dropped characters do not count", std::string(50, '\x1B') + std::string(2047, 'z'), std::string(2047, 'z')},
        {"empty", "", ""},
    };
    for (const auto& row : kRows) {
        EXPECT_EQ(RobotName(row.raw), row.name) << row.what;
    }
}

// What a description's bytes say, as the finder path's XML parser reads them.
TEST(RobotName, ReferencesReadAsAnXmlParserReadsThem)
{
    const struct {
        const char* raw;
        const char* text;
    } kRows[] = {
        {"A &amp; &lt;B&gt; &quot;q&quot; &apos;", "A & <B> \"q\" '"},
        {"&#x30ED;&#12508; &#65;&#x1F916;", "\xE3\x83\xAD\xE3\x83\x9C A\xF0\x9F\xA4\x96"},
        {"&#27;[31m", "\x1B[31m"},  // a control by reference is then dropped like any other
        // Malformed, unknown or out of range: left as they came.
        {"&amp &nbsp; &#; &#x; &#0; &#xD800; &#x110000; &#123456789; & ;",
         "&amp &nbsp; &#; &#x; &#0; &#xD800; &#x110000; "
         "&#123456789; & ;"},
        {"&amp;amp;", "&amp;"},  // decoded once
        {"trailing &", "trailing &"},
    };
    for (const auto& row : kRows) {
        EXPECT_EQ(XmlElementText(row.raw), row.text) << row.raw;
    }
}

// A read that ended inside a character leaves its first bytes at the end.
TEST(RobotName, AnUnfinishedCharacterAtTheEndIsFound)
{
    const struct {
        std::string raw;
        std::size_t unfinished;
    } kRows[] = {
        {"", 0},
        {"ab", 0},
        {"a\xE3", 1},
        {"a\xE3\x83", 2},
        {"a\xE3\x83\xAD", 0},
        {"a\xF0\x9F\xA4", 3},
        {"a\xF0\x9F\xA4\x96", 0},
        {"a\xC3", 1},
        {"a\xFF", 0},      // no character starts so: nothing more would make it one
        {"a\x83\xAD", 0},  // stray continuation bytes
    };
    for (const auto& row : kRows) {
        EXPECT_EQ(UnfinishedCharacterAtEnd(row.raw), row.unfinished) << row.raw;
    }
}

}  // namespace
}  // namespace seekwell
