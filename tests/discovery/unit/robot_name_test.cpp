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
    while (times-- > 0) {
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
        {"Japanese", "\xE3\x83\xAD\xE3\x83\x9C 1", "\xE3\x83\xAD\xE3\x83\x9C 1"},
        {"Latin-1", "Caf\xE9 robot", "Caf" + kReplacement + " robot"},
        {"C0 controls and DEL", "\x1B]0;t\x07\tb\r\nc\x7F", "]0;tbc"},
        {"C1 control", "a\xC2\x9B z", "a z"},
        {"no-break space stays", "a\xC2\xA0 z", "a\xC2\xA0 z"},
        // Each byte of an overlong NUL, a surrogate and a value above U+10FFFF.
        {"not characters", "\xC0\x80\xED\xA0\x80\xF4\x90\x80\x80", Repeated(kReplacement, 9)},
        {"character cut short", "ab\xE3\x83", "ab" + Repeated(kReplacement, 2)},
        {"4000 bytes", std::string(4000, 'n'), std::string(2047, 'n')},
        {"cut before a character that would pass 2047", Repeated("\xE3\x83\xAD", 1334), Repeated("\xE3\x83\xAD", 682)},
        {"four-byte character ending at 2047", std::string(2043, 'a') + "\xF0\x9F\xA4\x96-",
         std::string(2043, 'a') + "\xF0\x9F\xA4\x96"},
        {"cut made on what is reported", Repeated("\xE9", 1000), Repeated(kReplacement, 682)},
        {"dropped characters do not count", std::string(50, '\x1B') + std::string(2047, 'z'), std::string(2047, 'z')},
    };
    for (const auto& row : kRows) {
        EXPECT_EQ(RobotName(row.raw), row.name) << row.what;
    }
}

// As the finder path's XML parser reads a description's bytes.
TEST(RobotName, ReferencesReadAsAnXmlParserReadsThem)
{
    // Malformed, unknown or out of range: left as they came.
    const char* const kUnchanged = "&amp &nbsp; &#; &#x; &#0; &#xD800; &#x110000; &#123456789; & ; trailing &";
    EXPECT_EQ(XmlElementText(kUnchanged), kUnchanged);
    EXPECT_EQ(XmlElementText("A &amp; &lt;B&gt; &quot;q&quot; &apos;"), "A & <B> \"q\" '");
    EXPECT_EQ(XmlElementText("&#x30ED;&#12508; &#65;&#x1F916;"), "\xE3\x83\xAD\xE3\x83\x9C A\xF0\x9F\xA4\x96");
    EXPECT_EQ(XmlElementText("&#27;[31m"), "\x1B[31m");  // kept here; RobotName drops it like any control
    EXPECT_EQ(XmlElementText("&amp;amp;"), "&amp;");     // decoded once
}

// A read that ended inside a character leaves its first bytes at the end.
TEST(RobotName, AnUnfinishedCharacterAtTheEndIsFound)
{
    // Finished, empty, a byte that starts no character, stray continuation bytes.
    for (const char* raw : {"", "ab", "a\xE3\x83\xAD", "a\xF0\x9F\xA4\x96", "a\xFF", "a\x83\xAD"}) {
        EXPECT_EQ(UnfinishedCharacterAtEnd(raw), 0u) << raw;
    }
    EXPECT_EQ(UnfinishedCharacterAtEnd("a\xE3"), 1u);
    EXPECT_EQ(UnfinishedCharacterAtEnd("a\xE3\x83"), 2u);
    EXPECT_EQ(UnfinishedCharacterAtEnd("a\xF0\x9F\xA4"), 3u);
}

}  // namespace
}  // namespace seekwell
