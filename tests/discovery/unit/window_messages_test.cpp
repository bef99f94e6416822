#include <gtest/gtest.h>

#include <seekwell/window_messages.h>

#include <set>

#include "window_messages.h"

namespace seekwell {
namespace {

TEST(WindowMessages, SeventeenDistinctIdentifiersRegisteredThreeTimesAlike)
{
    const char* const names[SEEKWELL_WM_NAME_COUNT] = SEEKWELL_WM_NAMES;
    std::set<unsigned int> distinct;
    for (int i = 0; i < SEEKWELL_WM_NAME_COUNT; ++i) {
        const unsigned int id = SeekwellWindowMessageId(names[i]);
        EXPECT_TRUE(id >= 0xC000u && id <= 0xFFFFu) << id;
        distinct.insert(id);
        EXPECT_EQ(kWindowMessagesFirst.ids[i], id) << names[i];
        EXPECT_EQ(kWindowMessagesSecond.ids[i], id) << names[i];
        EXPECT_EQ(kWindowMessagesThird.ids[i], id) << names[i];
    }
    EXPECT_EQ(distinct.size(), 17u);
    EXPECT_STREQ(names[16], "MarlixKROVARemoteNotify");
    // FNV-1a of "" and "a" are 0x811C9DC5 and 0xE40C292C.
    EXPECT_EQ(SeekwellWindowMessageId(""), 0xC000u + 0x811C9DC5u % 0x4000u);
    EXPECT_EQ(SeekwellWindowMessageId("a"), 0xC000u + 0xE40C292Cu % 0x4000u);
}

}  // namespace
}  // namespace seekwell
