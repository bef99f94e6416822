#include "robot_name.h"

#include <cctype>
#include <cstdint>
#include <utility>

namespace seekwell {

namespace {

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// How many bytes a character that starts with lead has; 0 for a byte that
// starts none.
std::size_t LengthFromLead(unsigned char lead)
{
    return lead < 0x80                    ? 1
           : lead >= 0xC2 && lead <= 0xDF ? 2
           : lead >= 0xE0 && lead <= 0xEF ? 3
           : lead >= 0xF0 && lead <= 0xF4 ? 4
                                          : 0;
}

// The length of the valid character at pos, or 0 where none starts: a stray
// or missing continuation byte, an overlong form, a surrogate or a value
// above U+10FFFF.
std::size_t CharacterLength(std::string_view text, std::size_t pos)
{
    const auto lead = static_cast<unsigned char>(text[pos]);
    const std::size_t length = LengthFromLead(lead);
    if (length == 0 || length > text.size() - pos) {
        return 0;
    }
    // The second byte's range rules out overlong forms, surrogates and values above U+10FFFF.
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[pos + i]);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

// C0 controls, DEL and the C1 controls U+0080..U+009F: a terminal may act on any of them.
bool IsControl(std::string_view character)
{
    const auto first = static_cast<unsigned char>(character[0]);
    if (character.size() == 1) {
        return first < 0x20 || first == 0x7F;
    }
    return character.size() == 2 && first == 0xC2 && static_cast<unsigned char>(character[1]) < 0xA0;
}

// The five entities every XML document knows.
constexpr std::pair<std::string_view, char> kPredefinedEntities[] = {
    {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};

void AppendUtf8(std::string& out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The character a reference's name (between '&' and ';') stands for, as UTF-8;
// empty for one no XML parser would accept.
std::string Referenced(std::string_view name)
{
    for (const auto& [entity, character] : kPredefinedEntities) {
        if (name == entity) {
            return std::string(1, character);
        }
    }
    if (name.size() < 2 || name[0] != '#') {
        return {};
    }
    const bool hex = name[1] == 'x';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    constexpr std::size_t kMaxDigits = 8;
    if (digits.empty() || digits.size() > kMaxDigits) {
        return {};
    }
    std::uint32_t code = 0;
    for (const char digit : digits) {
        const int value = std::isdigit(static_cast<unsigned char>(digit)) ? digit - '0'
                          : hex && std::isxdigit(static_cast<unsigned char>(digit))
                              ? std::tolower(static_cast<unsigned char>(digit)) - 'a' + 10
                              : -1;
        if (value < 0) {
            return {};
        }
        code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(value);
    }
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return {};
    }
    std::string character;
    AppendUtf8(character, code);
    return character;
}

}  // namespace

std::string XmlElementText(std::string_view raw)
{
    // The longest reference taken: "&#x" and eight digits and ';'.
    constexpr std::size_t kLongestReference = 12;
    std::string text;
    text.reserve(raw.size());
    for (std::size_t pos = 0; pos < raw.size();) {
        const std::size_t end = raw[pos] == '&' ? raw.find(';', pos) : std::string_view::npos;
        if (end != std::string_view::npos && end - pos <= kLongestReference) {
            if (const std::string character = Referenced(raw.substr(pos + 1, end - pos - 1)); !character.empty()) {
                text += character;
                pos = end + 1;
                continue;
            }
        }
        text += raw[pos++];
    }
    return text;
}

std::string CleanNameText(std::string_view raw)
{
    std::string clean;
    clean.reserve(raw.size());
    for (std::size_t pos = 0; pos < raw.size();) {
        const std::size_t length = CharacterLength(raw, pos);
        if (length == 0) {
            clean += kReplacementCharacter;
            ++pos;
            continue;
        }
        const std::string_view character = raw.substr(pos, length);
        if (!IsControl(character)) {
            clean += character;
        }
        pos += length;
    }
    return clean;
}

std::size_t WholeCharactersWithin(std::string_view text, std::size_t limit)
{
    if (text.size() <= limit) {
        return text.size();
    }
    // text[limit] is the first byte left out: while it continues a character, that character goes whole.
    std::size_t length = limit;
    while (length > 0 && IsContinuationByte(text[length])) {
        --length;
    }
    return length;
}

std::string RobotName(std::string_view raw)
{
    std::string name = CleanNameText(raw);
    name.resize(WholeCharactersWithin(name, kRobotNameMaxBytes));
    return name;
}

std::size_t UnfinishedCharacterAtEnd(std::string_view raw)
{
    for (std::size_t back = 1; back <= 3 && back <= raw.size(); ++back) {
        const char byte = raw[raw.size() - back];
        if (!IsContinuationByte(byte)) {
            return LengthFromLead(static_cast<unsigned char>(byte)) > back ? back : 0;
        }
    }
    return 0;
}

}  // namespace seekwell
