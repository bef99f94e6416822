#include "discover_output.h"

#include <lan_text.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
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

// The index column, and the space between the name and the address.
constexpr std::size_t kIndexWidth = 4;
constexpr char kColumnGap[] = "  ";

// A row pads its name to the widest name only up to this: with an address it still fits a
// terminal of 80 columns; a wider name goes on into the address's place on its own row alone.
constexpr std::size_t kNameColumnMostWidth = 40;

// Screen columns, as wcwidth() measures each character under the locale the program runs in, so
// that a Japanese name lines up like any other; one it cannot measure counts as one column.
std::size_t DisplayWidth(const std::string& text)
{
    std::size_t width = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const char32_t character = lan_text::NextCharacter(text, pos);
        const int columns = character == lan_text::kInvalid ? -1 : wcwidth(static_cast<wchar_t>(character));
        width += columns < 0 ? 1 : static_cast<std::size_t>(columns);
    }
    return width;
}

std::string PadRight(const std::string& text, std::size_t width)
{
    const std::size_t length = DisplayWidth(text);
    return text + std::string(width > length ? width - length : 0, ' ');
}

}  // namespace

std::string ShownName(const char* name)
{
    return name != nullptr && *name == '\0' ? lan_text::kNoText : lan_text::TerminalText(name);
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
        const char32_t character = lan_text::NextCharacter(view, pos);
        json += JsonEscape(character, view.substr(start, pos - start));
    }
    return json + "\"";
}

void UseLocaleForWidths()
{
    const char* chosen = std::setlocale(LC_CTYPE, "");
    const char* all = std::getenv("LC_ALL");
    const bool plainC = chosen == nullptr || std::strcmp(chosen, "C") == 0 || std::strcmp(chosen, "POSIX") == 0;
    if (plainC && (all == nullptr || *all == '\0')) {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
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
        nameWidth = std::max(nameWidth, DisplayWidth(ShownName(records[i].pszName)));
    }
    nameWidth = std::min(nameWidth, kNameColumnMostWidth);
    out << PadRight("#", kIndexWidth) << PadRight(nameHeading, nameWidth) << kColumnGap << "Address\n";
    for (int i = 0; i < count; ++i) {
        out << PadRight(std::to_string(i), kIndexWidth) << PadRight(ShownName(records[i].pszName), nameWidth)
            << kColumnGap << lan_text::TerminalText(records[i].pszAddress) << "\n";
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
