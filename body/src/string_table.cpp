// The string table: colour and model names in English and Japanese, UTF-8,
// fetched by identifier like a platform string resource.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <kinemap/kinemap.h>

namespace {

const unsigned short kLanguageFromLocale = KINEMAP_LANGUAGE_FROM_LOCALE;
const unsigned short kLanguageEnglish = KINEMAP_LANGUAGE_ENGLISH;
const unsigned short kLanguageJapanese = KINEMAP_LANGUAGE_JAPANESE;

struct StringEntry {
    unsigned int id;
    const char* english;
    const char* japanese;
};

const StringEntry kStrings[] = {
    {KINEMAP_STRING_COLOUR_1, "Amber", "アンバー"},
    {KINEMAP_STRING_COLOUR_2, "Onyx", "オニキス"},
    {KINEMAP_STRING_COLOUR_3, "Coral", "コーラル"},
    {KINEMAP_STRING_COLOUR_4, "Pewter", "ピューター"},
    {KINEMAP_STRING_COLOUR_5, "Ivory", "アイボリー"},
    {KINEMAP_STRING_COLOUR_6, "Glacier Ivory", "グレイシャー・アイボリー"},
    {KINEMAP_STRING_COLOUR_7, "Lagoon Green", "ラグーン・グリーン"},
    {KINEMAP_STRING_COLOUR_8, "Dusk Violet", "ダスク・バイオレット"},
    {KINEMAP_STRING_MODEL_1, "TK-42", "TK-42"},
    {KINEMAP_STRING_MODEL_2, "HD42-LEG41", "HD42-LEG41"},
    {KINEMAP_STRING_MODEL_3, "HD41-LEG42", "HD41-LEG42"},
    {KINEMAP_STRING_MODEL_4, "TK-50", "TK-50"},
};

// A locale value's language is what precedes its territory, codeset and
// modifier; it must match whole, so "jam_JM" is not Japanese.
bool IsLanguage(const char* value, size_t length, const char* language)
{
    const size_t end = std::min(length, std::strcspn(value, "_.@"));
    return end == std::strlen(language) && std::strncmp(value, language, end) == 0;
}

unsigned short LanguageOfValue(const char* value, size_t length)
{
    return IsLanguage(value, length, "ja") ? kLanguageJapanese : kLanguageEnglish;
}

// LANGUAGE lists languages by preference; the first one the table has wins.
unsigned short LanguageOfList(const char* list)
{
    for (const char* entry = list; *entry != '\0';) {
        const size_t length = std::strcspn(entry, ":");
        if (IsLanguage(entry, length, "ja") || IsLanguage(entry, length, "en")) {
            return LanguageOfValue(entry, length);
        }
        entry += length + (entry[length] == ':' ? 1 : 0);
    }
    return kLanguageEnglish;
}

// gettext's order: the first variable that is set and not empty decides.
unsigned short LanguageOfLocale()
{
    const char* list = std::getenv("LANGUAGE");
    if (list != nullptr && *list != '\0') {
        return LanguageOfList(list);
    }
    const char* const variables[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* variable : variables) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return LanguageOfValue(value, std::strlen(value));
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

// Copies what fits of text (nothing when text is null) with its NUL; room is
// at least 1.
size_t CopyFitting(const char* text, char* buffer, size_t room)
{
    const size_t length = text == nullptr ? 0 : FittingLength(text, room - 1);
    if (length > 0) {
        std::memcpy(buffer, text, length);
    }
    buffer[length] = '\0';
    return length;
}

}  // namespace

extern "C" int KinemapLoadString(unsigned int uID, unsigned short wLanguage, char* lpBuffer, int cchBufferMax)
{
    if (lpBuffer == nullptr || cchBufferMax <= 0) {
        return 0;
    }
    return static_cast<int>(CopyFitting(Lookup(uID, wLanguage), lpBuffer, cchBufferMax));
}

extern "C" int KinemapGetString(unsigned int uID, unsigned short wLanguage, char* lpBuffer, int cbBuffer)
{
    const char* text = Lookup(uID, wLanguage);
    if (lpBuffer != nullptr && cbBuffer > 0) {
        CopyFitting(text, lpBuffer, cbBuffer);
    }
    return text == nullptr ? KINEMAP_NO_STRING : static_cast<int>(std::strlen(text));
}
