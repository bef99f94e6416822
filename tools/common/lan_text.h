// Text that came from the LAN (names, addresses, reasons): a device can send any bytes, so the tools
// read it as UTF-8 here, one character at a time, and show it on a terminal only through
// TerminalText.
#ifndef ROVA_TOOLS_LAN_TEXT_H
#define ROVA_TOOLS_LAN_TEXT_H

#include <langinfo.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace lan_text {

// What NextCharacter returns for a byte that starts no valid UTF-8 character.
constexpr char32_t kInvalid = 0xFFFFFFFF;

// Decodes the character at `pos` and moves past it. A byte where no valid character starts (a stray
// or missing continuation byte, an overlong form, a surrogate, a value above U+10FFFF) decodes as
// kInvalid and moves one byte on.
inline char32_t NextCharacter(std::string_view text, std::size_t& pos)
{
    const auto lead = static_cast<unsigned char>(text[pos]);
    const std::size_t length = lead < 0x80                    ? 1
                               : lead >= 0xC2 && lead <= 0xDF ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || pos + length > text.size()) {
        ++pos;
        return kInvalid;
    }
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80) {
            ++pos;
            return kInvalid;
        }
        value = (value << 6) | (next & 0x3F);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++pos;
        return kInvalid;
    }
    pos += length;
    return value;
}

// C0 controls, DEL and the C1 controls: a terminal may act on any of them.
inline bool IsControl(char32_t character) { return character < 0x20 || (character >= 0x7F && character <= 0x9F); }

// What a terminal is taken to show. Under a locale of another character set (ISO-8859-1, EUC-JP)
// UTF-8's bytes would show garbled, and some of them are C1 controls there, so only ASCII goes out.
enum class Charset { Utf8, Ascii };

// The character set a locale's codeset (nl_langinfo(CODESET)) stands for. The C and POSIX locales'
// ANSI_X3.4-1968 counts as UTF-8, as Python takes it: a terminal today is one.
inline Charset CharsetOf(std::string_view codeset)
{
    return codeset == "UTF-8" || codeset == "ANSI_X3.4-1968" ? Charset::Utf8 : Charset::Ascii;
}

// The process's LC_CTYPE as setlocale left it: a program that never calls setlocale is in "C".
inline Charset LocaleCharset() { return CharsetOf(nl_langinfo(CODESET)); }

// What a terminal is shown for text that is missing.
constexpr char kNoText[] = "(none)";

// Safe to print on a terminal of that character set: each control character and each byte of
// invalid UTF-8 becomes '?', and so does each character beyond ASCII for Charset::Ascii; valid
// UTF-8 stays as it is otherwise; null is kNoText.
inline std::string TerminalText(const char* text, Charset charset)
{
    if (text == nullptr) {
        return kNoText;
    }
    const std::string_view view(text);
    std::string shown;
    for (std::size_t pos = 0; pos < view.size();) {
        const std::size_t start = pos;
        const char32_t character = NextCharacter(view, pos);
        if (character == kInvalid || IsControl(character) || (charset == Charset::Ascii && character > 0x7F)) {
            shown += '?';
        } else {
            shown.append(view.substr(start, pos - start));
        }
    }
    return shown;
}

// The same for the terminal of this process's locale.
inline std::string TerminalText(const char* text) { return TerminalText(text, LocaleCharset()); }

}  // namespace lan_text

#endif  // ROVA_TOOLS_LAN_TEXT_H
