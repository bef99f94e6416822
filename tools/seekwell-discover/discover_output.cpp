#include "discover_output.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace seekwell_discover {

const char kMostRobotsNote[] = "16 robots reported, the most one search returns; there may be more on the network.";
static_assert(SEEKWELL_MAX_RESULTS == 16, "kMostRobotsNote names the most one search reports");

namespace {

constexpr const char kNullText[] = "(none)";
constexpr char kReplacementForTerminal = '?';
constexpr const char kReplacementForJson[] = "\\ufffd";
constexpr char32_t kInvalid = 0xFFFFFFFF;

int SequenceLength(unsigned char lead)
{
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// Decodes the character at `pos` and moves past it; an invalid byte decodes as kInvalid and
// moves one byte on.
char32_t NextCharacter(std::string_view text, std::size_t& pos)
{
    const auto lead = static_cast<unsigned char>(text[pos]);
    const int length = SequenceLength(lead);
    if (length == 0 || pos + length > text.size()) {
        ++pos;
        return kInvalid;
    }
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80) {
            ++pos;
            return kInvalid;
        }
        value = (value << 6) | (next & 0x3F);
    }
    static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++pos;
        return kInvalid;
    }
    pos += length;
    return value;
}

bool IsControl(char32_t character) { return character < 0x20 || (character >= 0x7F && character <= 0x9F); }

std::string JsonEscape(char32_t character, std::string_view original)
{
    if (character == kInvalid) {
        return kReplacementForJson;
    }
    if (character == '"') {
        return "\\\"";
    }
    if (character == '\\') {
        return "\\\\";
    }
    if (!IsControl(character)) {
        return std::string(original);
    }
    char escaped[16];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(character));
    return escaped;
}

// Columns are counted in characters, so a name with accents lines up like any other.
std::size_t CharacterCount(const std::string& text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string PadRight(const std::string& text, std::size_t width)
{
    const std::size_t length = CharacterCount(text);
    return text + std::string(width > length ? width - length : 0, ' ');
}

}  // namespace

std::string PrintableText(const char* text)
{
    if (text == nullptr) {
        return kNullText;
    }
    const std::string_view view(text);
    std::string printable;
    for (std::size_t pos = 0; pos < view.size();) {
        const std::size_t start = pos;
        const char32_t character = NextCharacter(view, pos);
        if (character == kInvalid || IsControl(character)) {
            printable += kReplacementForTerminal;
        } else {
            printable.append(view.substr(start, pos - start));
        }
    }
    return printable;
}

std::string JsonValue(const char* text)
{
    if (text == nullptr) {
        return "null";
    }
    const std::string_view view(text);
    std::string json = "\"";
    for (std::size_t pos = 0; pos < view.size();) {
        const std::size_t start = pos;
        const char32_t character = NextCharacter(view, pos);
        json += JsonEscape(character, view.substr(start, pos - start));
    }
    return json + "\"";
}

void PrintTable(std::ostream& out, const DISCOVERY_RESULT* records, int count)
{
    if (count <= 0) {
        out << "No robot found.\n";
        return;
    }
    const std::string nameHeading = "Name";
    std::size_t nameWidth = nameHeading.size();
    for (int i = 0; i < count; ++i) {
        nameWidth = std::max(nameWidth, CharacterCount(PrintableText(records[i].pszName)));
    }
    out << PadRight("#", 4) << PadRight(nameHeading, nameWidth + 2) << "Address\n";
    for (int i = 0; i < count; ++i) {
        out << PadRight(std::to_string(i), 4) << PadRight(PrintableText(records[i].pszName), nameWidth + 2)
            << PrintableText(records[i].pszAddress) << "\n";
    }
    if (count == SEEKWELL_MAX_RESULTS) {
        out << kMostRobotsNote << "\n";
    }
}

void PrintJson(std::ostream& out, const DISCOVERY_RESULT* records, int count)
{
    out << "{\"count\": " << std::max(count, 0) << ", \"robots\": [";
    for (int i = 0; i < count; ++i) {
        out << (i == 0 ? "" : ", ") << "{\"index\": " << i << ", \"name\": " << JsonValue(records[i].pszName)
            << ", \"address\": " << JsonValue(records[i].pszAddress) << "}";
    }
    out << "]}\n";
}

}  // namespace seekwell_discover
