#include <kinemap/kinemap.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const unsigned short kEnglish = KINEMAP_LANGUAGE_ENGLISH, kJapanese = KINEMAP_LANGUAGE_JAPANESE,
                     kByLocale = KINEMAP_LANGUAGE_FROM_LOCALE;

const char* const kStrings[13][2] = {
    {nullptr, nullptr},
    {"Amber", "アンバー"},
    {"Onyx", "オニキス"},
    {"Coral", "コーラル"},
    {"Pewter", "ピューター"},
    {"Ivory", "アイボリー"},
    {"Glacier Ivory", "グレイシャー・アイボリー"},
    {"Lagoon Green", "ラグーン・グリーン"},
    {"Dusk Violet", "ダスク・バイオレット"},
    {"TK-42", "TK-42"},
    {"HD42-LEG41", "HD42-LEG41"},
    {"HD41-LEG42", "HD41-LEG42"},
    {"TK-50", "TK-50"},
};

std::string Load(unsigned int id, unsigned short language, int room = 256)
{
    char buffer[256];
    std::memset(buffer, 'Z', sizeof buffer);
    const int copied = KinemapLoadString(id, language, buffer, room);
    EXPECT_EQ(std::strlen(buffer), static_cast<size_t>(copied)) << id;
    return buffer;
}

struct Locale {
    const char* language;  // null: unset
    const char* all;
    const char* messages;
    const char* lang;
};

// Loads with language 0 under the given locale variables.
std::string LoadByLocale(unsigned int id, const Locale& locale)
{
    const char* const names[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    const char* const values[] = {locale.language, locale.all, locale.messages, locale.lang};
    for (int i = 0; i < 4; ++i) {
        values[i] ? setenv(names[i], values[i], 1) : unsetenv(names[i]);
    }
    return Load(id, kByLocale);
}

}  // namespace

TEST(StringTable, BothLanguagesInFull)
{
    for (unsigned int id = 1; id <= 12; ++id) {
        EXPECT_EQ(kStrings[id][0], Load(id, kEnglish)) << id;
        EXPECT_EQ(kStrings[id][1], Load(id, kJapanese)) << id;
    }
    for (unsigned int id : {0u, 13u, 14u, 15u, 0xFFFFFFFFu}) {
        for (unsigned short language : {kEnglish, kJapanese, kByLocale}) {
            EXPECT_EQ("", Load(id, language)) << id;
        }
    }
    for (unsigned short language : {1036, 1, 0xFFFF}) {
        EXPECT_EQ("", Load(1, language)) << language;
    }
}

TEST(StringTable, BufferEdgesAndCharacterBoundaries)
{
    EXPECT_EQ(0, KinemapLoadString(1, kEnglish, nullptr, 16));
    char untouched[4] = {'a', 'b', 'c', 0};
    EXPECT_EQ(0, KinemapLoadString(1, kEnglish, untouched, 0));
    EXPECT_EQ(0, KinemapLoadString(1, kEnglish, untouched, -1));
    EXPECT_STREQ("abc", untouched);
    EXPECT_EQ("", Load(1, kEnglish, 1));
    EXPECT_EQ("Glacier", Load(6, kEnglish, 8));
    EXPECT_EQ("Amber", Load(1, kEnglish, 6));
    for (unsigned int id = 1; id <= 8; ++id) {
        const std::string full = kStrings[id][1];
        for (int room = 1; room <= static_cast<int>(full.size()) + 1; ++room) {
            const std::string cut = Load(id, kJapanese, room);
            ASSERT_LE(cut.size(), static_cast<size_t>(room - 1));
            ASSERT_EQ(full.substr(0, cut.size()), cut);
            // Cut only before a lead byte, and never more than one character short.
            ASSERT_TRUE(cut.size() == full.size() || (full[cut.size()] & 0xC0) != 0x80) << room;
            ASSERT_LT(static_cast<size_t>(room - 1) - cut.size(), 3u) << room;
        }
    }
}

TEST(StringTable, LanguageZeroFollowsGettextsOrderWithWholeLanguageNames)
{
    const struct {
        Locale locale;
        const char* expected;
    } cases[] = {
        {{nullptr, "", "ja_JP.UTF-8", "en_US.UTF-8"}, "アンバー"},
        {{nullptr, "C", "ja_JP.UTF-8", "ja_JP.UTF-8"}, "Amber"},
        {{nullptr, nullptr, nullptr, "ja"}, "アンバー"},
        {{nullptr, nullptr, nullptr, "ja@saru"}, "アンバー"},
        {{nullptr, nullptr, nullptr, nullptr}, "Amber"},
        {{nullptr, nullptr, nullptr, "jv_ID.UTF-8"}, "Amber"},
        {{nullptr, nullptr, nullptr, "jam_JM"}, "Amber"},
        {{nullptr, nullptr, nullptr, "japanese"}, "Amber"},
        // LANGUAGE comes first and lists preferences; the first the table has decides.
        {{"ja", "en_US.UTF-8", nullptr, "en_US.UTF-8"}, "アンバー"},
        {{"fr:ja_JP:en", nullptr, nullptr, "en_US.UTF-8"}, "アンバー"},
        {{"en:ja", nullptr, nullptr, "ja_JP.UTF-8"}, "Amber"},
        {{"fr:de", nullptr, nullptr, "ja_JP.UTF-8"}, "Amber"},
        {{"jam:", nullptr, nullptr, "ja_JP.UTF-8"}, "Amber"},
        {{"", nullptr, nullptr, "ja_JP.UTF-8"}, "アンバー"},
        {{"::ja", nullptr, nullptr, nullptr}, "アンバー"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, LoadByLocale(1, c.locale))
            << (c.locale.language ? c.locale.language : "-") << " " << (c.locale.all ? c.locale.all : "-") << " "
            << (c.locale.messages ? c.locale.messages : "-") << " " << (c.locale.lang ? c.locale.lang : "-");
    }
    EXPECT_EQ("TK-50", LoadByLocale(KINEMAP_STRING_MODEL_4, {nullptr, nullptr, "ja_JP", nullptr}));
    unsetenv("LANGUAGE");
}

TEST(StringTable, GetStringMeasuresAndMarksCutCopies)
{
    for (unsigned int id = KINEMAP_STRING_FIRST; id <= KINEMAP_STRING_LAST; ++id) {
        for (int language = 0; language < 2; ++language) {
            const unsigned short code = language == 0 ? kEnglish : kJapanese;
            const std::string full = kStrings[id][language];
            const int length = KinemapGetString(id, code, nullptr, 0);
            ASSERT_EQ(static_cast<int>(full.size()), length) << id;
            for (int room = 1; room <= length + 1; ++room) {
                char buffer[64];
                std::memset(buffer, 'Z', sizeof buffer);
                ASSERT_EQ(length, KinemapGetString(id, code, buffer, room)) << id << " " << room;
                // Whole exactly when the room holds the string and its NUL, and the
                // same text the old call copies.
                EXPECT_EQ(room > length, full == buffer) << id << " " << room;
                EXPECT_EQ(Load(id, code, room), buffer) << id << " " << room;
            }
        }
    }
    char untouched[4] = {'a', 'b', 'c', 0};
    EXPECT_EQ(5, KinemapGetString(KINEMAP_STRING_COLOUR_1, kEnglish, untouched, 0));
    EXPECT_EQ(5, KinemapGetString(KINEMAP_STRING_COLOUR_1, kEnglish, untouched, -3));
    EXPECT_STREQ("abc", untouched);
    for (unsigned int id : {0u, 13u, 15u}) {
        EXPECT_EQ(KINEMAP_NO_STRING, KinemapGetString(id, kEnglish, nullptr, 0));
        EXPECT_EQ(KINEMAP_NO_STRING, KinemapGetString(id, kJapanese, untouched, sizeof untouched));
        EXPECT_STREQ("", untouched);
    }
    EXPECT_EQ(KINEMAP_NO_STRING, KinemapGetString(KINEMAP_STRING_COLOUR_1, 1036, nullptr, 0));
}
