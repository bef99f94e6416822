#include "discover_output.h"

#include <lan_text.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace seekwell_discover {

const char kMostRobotsNote[] = "16 robots reported, the most one search returns; there may be more on the network.";
static_assert(SEEKWELL_MAX_RESULTS == 16, "kMostRobotsNote names the most one search reports");

namespace {

constexpr const char kReplacementForJson[] = "\\ufffd";

std::string JsonEscape(char32_t character, std::string_view original)
{
    if (character == lan_text::kInvalid) {
        return kReplacementForJson;
    }
    if (character == '"') {
        return "\\\"";
    }
    if (character == '\\') {
        return "\\\\";
    }
    if (!lan_text::IsControl(character)) {
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

std::string JsonValue(const char* text)
{
    if (text == nullptr) {
        return "null";
    }
    const std::string_view view(text);
    std::string json = "\"";
    for (std::size_t pos = 0; pos < view.size();) {
        const std::size_t start = pos;
        const char32_t character = lan_text::NextCharacter(view, pos);
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
        nameWidth = std::max(nameWidth, CharacterCount(lan_text::TerminalText(records[i].pszName)));
    }
    out << PadRight("#", 4) << PadRight(nameHeading, nameWidth + 2) << "Address\n";
    for (int i = 0; i < count; ++i) {
        out << PadRight(std::to_string(i), 4) << PadRight(lan_text::TerminalText(records[i].pszName), nameWidth + 2)
            << lan_text::TerminalText(records[i].pszAddress) << "\n";
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
