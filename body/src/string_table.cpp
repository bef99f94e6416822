// The string table: colour and model names in English and Japanese, UTF-8,
// fetched by identifier like a platform string resource.
#include <cstdlib>
#include <cstring>

#include <kinemap/kinemap.h>

namespace {

const unsigned short kLanguageFromLocale = 0;
const unsigned short kLanguageEnglish = 1033;
const unsigned short kLanguageJapanese = 1041;

struct StringEntry {
    unsigned int id;
    const char* english;
    const char* japanese;
};

const StringEntry kStrings[] = {
    {1, "Amber", "アンバー"},
    {2, "Onyx", "オニキス"},
    {3, "Coral", "コーラル"},
    {4, "Pewter", "ピューター"},
    {5, "Ivory", "アイボリー"},
    {6, "Glacier Ivory", "グレイシャー・アイボリー"},
    {7, "Lagoon Green", "ラグーン・グリーン"},
    {8, "Dusk Violet", "ダスク・バイオレット"},
    {9, "TK-42", "TK-42"},
    {10, "HD42-LEG41", "HD42-LEG41"},
    {11, "HD41-LEG42", "HD41-LEG42"},
    {12, "TK-50", "TK-50"},
};

// The first locale variable that is set and not empty decides, as in the C
// library's own lookup order for messages.
unsigned short LanguageOfLocale()
{
    const char* const variables[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* variable : variables) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return std::strncmp(value, "ja", 2) == 0 ? kLanguageJapanese : kLanguageEnglish;
        }
    }
    return kLanguageEnglish;
}

const char* Lookup(unsigned int id, unsigned short language)
{
    if (language == kLanguageFromLocale) {
        language = LanguageOfLocale();
    }
    if (language != kLanguageEnglish && language != kLanguageJapanese) {
        return nullptr;
    }
    for (const StringEntry& entry : kStrings) {
        if (entry.id == id) {
            return language == kLanguageJapanese ? entry.japanese : entry.english;
        }
    }
    return nullptr;
}

bool IsContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Longest prefix of text that fits in room bytes without splitting a
// multi-byte UTF-8 character.
size_t FittingLength(const char* text, size_t room)
{
    size_t length = std::strlen(text);
    if (length <= room) {
        return length;
    }
    while (room > 0 && IsContinuationByte(text[room])) {
        --room;
    }
    return room;
}

}  // namespace

extern "C" int KinemapLoadString(unsigned int uID, unsigned short wLanguage, char* lpBuffer, int cchBufferMax)
{
    if (lpBuffer == nullptr || cchBufferMax <= 0) {
        return 0;
    }
    const char* text = Lookup(uID, wLanguage);
    const size_t length = text == nullptr ? 0 : FittingLength(text, cchBufferMax - 1);
    if (length > 0) {
        std::memcpy(lpBuffer, text, length);
    }
    lpBuffer[length] = '\0';
    return static_cast<int>(length);
}
