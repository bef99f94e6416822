#include <kinemap/kinemap.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const unsigned short kEnglish = 1033, kJapanese = 1041, kByLocale = 0;

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

// Loads with language 0 under the given locale variables (null: unset).
std::string LoadByLocale(unsigned int id, const char* all, const char* messages, const char* lang)
{
    const char* const names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    const char* const values[] = {all, messages, lang};
    for (int i = 0; i < 3; ++i) {
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

TEST(StringTable, LanguageZeroFollowsTheLocale)
{
    EXPECT_EQ("アンバー", LoadByLocale(1, "", "ja_JP.UTF-8", "en_US.UTF-8"));
    EXPECT_EQ("Amber", LoadByLocale(1, "C", "ja_JP.UTF-8", "ja_JP.UTF-8"));
    EXPECT_EQ("オニキス", LoadByLocale(2, nullptr, nullptr, "ja"));
    EXPECT_EQ("Onyx", LoadByLocale(2, nullptr, nullptr, nullptr));
    EXPECT_EQ("Onyx", LoadByLocale(2, nullptr, nullptr, "jv_ID.UTF-8"));
    EXPECT_EQ("TK-50", LoadByLocale(12, nullptr, "ja_JP", nullptr));
}
