// The one way the tools (C++) and the example hosts (C) show LAN text on a terminal: both turn
// every control character and every byte of invalid UTF-8 into '?' and keep valid UTF-8.
#include <gtest/gtest.h>
#include <lan_text.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "terminal_text.h"

namespace {

// What the examples' C function writes for `text`.
std::string PrintedByExamples(const char* text)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    if (out == nullptr) {
        return "(no memory stream)";
    }
    PrintTerminalText(out, text);
    std::fclose(out);
    std::string printed(buffer, size);
    std::free(buffer);
    return printed;
}

TEST(TerminalTextTest, ToolsAndExamplesShowLanTextAlike)
{
    const struct {
        const char* what;
        const char* text;
        const char* shown;
    } kCases[] = {
        {"plain ASCII", "ROVA robot 1 \"q\" \\ ~", "ROVA robot 1 \"q\" \\ ~"},
        {"Japanese", "\xe3\x83\xad\xe3\x83\x9c", "\xe3\x83\xad\xe3\x83\x9c"},
        {"4-byte UTF-8", "\xf0\x9f\xa4\x96", "\xf0\x9f\xa4\x96"},
        {"first character after C1", "\xc2\xa0", "\xc2\xa0"},
        {"ESC", "a\x1b[31mb", "a?[31mb"},
        {"tab, CR, LF", "\t\r\n", "???"},
        {"DEL", "a\x7f", "a?"},
        {"C1 CSI in UTF-8", "\xc2\x9b[31m", "?[31m"},
        {"stray 0xFF", "a\xff!", "a?!"},
        {"stray continuation", "\x80", "?"},
        {"cut sequence", "\xe2\x82 x", "?? x"},
        {"cut at the end", "x\xe2\x82", "x??"},
        {"overlong 2-byte", "\xc0\xaf", "??"},
        {"overlong 3-byte", "\xe0\x80\xaf", "???"},
        {"surrogate", "\xed\xa0\x80", "???"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", "????"},
        {"the simulator's odd name", "Odd \xff\xe2\x82 \x1b[31m\x7f \"q\" \\ \xe3\x83\xad\xe3\x83\x9c 2",
         "Odd ??? ?[31m? \"q\" \\ \xe3\x83\xad\xe3\x83\x9c 2"},
        {"empty", "", ""},
        {"null", nullptr, "(none)"},
    };
    for (const auto& entry : kCases) {
        EXPECT_EQ(lan_text::TerminalText(entry.text), entry.shown) << entry.what;
        EXPECT_EQ(PrintedByExamples(entry.text), entry.shown) << entry.what;
    }
}

// Under a locale of another character set the tool shows each character beyond ASCII as '?'; the
// C and POSIX locales count as UTF-8.
TEST(TerminalTextTest, ALocaleOfAnotherCharacterSetGetsAsciiAlone)
{
    const struct {
        const char* codeset;
        lan_text::Charset charset;
    } kCodesets[] = {
        {"UTF-8", lan_text::Charset::Utf8},
        {"ANSI_X3.4-1968", lan_text::Charset::Utf8},
        {"ISO-8859-1", lan_text::Charset::Ascii},
        {"EUC-JP", lan_text::Charset::Ascii},
    };
    for (const auto& each : kCodesets) {
        EXPECT_EQ(lan_text::CharsetOf(each.codeset), each.charset) << each.codeset;
    }
    const auto ascii = lan_text::Charset::Ascii;
    EXPECT_EQ(lan_text::TerminalText("R\xc3\xb6ve \xe3\x83\xad\xe3\x83\x9c", ascii), "R?ve ??");  // a '?' a character
    EXPECT_EQ(lan_text::TerminalText("a\xff\x1b", ascii), "a??");
    EXPECT_EQ(lan_text::TerminalText("ROVA robot 1", ascii), "ROVA robot 1");
    EXPECT_EQ(lan_text::TerminalText(nullptr, ascii), "(none)");
    // A program that never calls setlocale runs in "C": UTF-8 goes out as it is.
    EXPECT_EQ(lan_text::LocaleCharset(), lan_text::Charset::Utf8);
}

}  // namespace
