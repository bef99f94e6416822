#include <kinemap/kinemap.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

const int kMarker = 0x7A7A7A7A;
const char kFill = 'Z';

// Re-typed independently: these bytes are what hosts depend on.
const char* const kLocators[43][2] = {
    // {design 1 (table A), other designs (table B)}
    {"PRM:/a1-Sensor:a1", "PRM:/a1-Sensor:a1"},
    {"PRM:/a2-Sensor:a2", "PRM:/a2-Sensor:a2"},
    {"PRM:/a3-Sensor:a3", "PRM:/a3-Sensor:a3"},
    {"PRM:/r1/c1-Joint2:11", "PRM:/r1/c1-Joint2:j1"},
    {"PRM:/r1/c1/c2-Joint2:12", "PRM:/r1/c1/c2-Joint2:j2"},
    {"", "PRM:/r1/c1/c2/c3-Joint2:j3"},
    {"PRM:/r1/c1/c2/c3/t1-Sensor:t1", "PRM:/r1/c1/c2/c3/f1-Sensor:f1"},
    {"", "PRM:/r1/c1/c2/c3/f2-Sensor:f2"},
    {"PRM:/r1/c1/c2/c3/c4/s5-Sensor:s5", "PRM:/r1/c1/c2/c3/c4/s5-Sensor:s5"},
    {"PRM:/p1-Sensor:p1", "PRM:/r1/c1/c2/c3/p1-Sensor:p1"},
    {"PRM:/r2/c1-Joint2:21", "PRM:/r2/c1-Joint2:j1"},
    {"PRM:/r2/c1/c2-Joint2:22", "PRM:/r2/c1/c2-Joint2:j2"},
    {"PRM:/r2/c1/c2/c3-Joint2:23", "PRM:/r2/c1/c2/c3-Joint2:j3"},
    {"PRM:/r2/c1/c2/c3/c4-Sensor:24", "PRM:/r2/c1/c2/c3/c4-Sensor:s4"},
    {"PRM:/r3/c1-Joint2:31", "PRM:/r3/c1-Joint2:j1"},
    {"PRM:/r3/c1/c2-Joint2:32", "PRM:/r3/c1/c2-Joint2:j2"},
    {"PRM:/r3/c1/c2/c3-Joint2:33", "PRM:/r3/c1/c2/c3-Joint2:j3"},
    {"PRM:/r3/c1/c2/c3/c4-Sensor:34", "PRM:/r3/c1/c2/c3/c4-Sensor:s4"},
    {"PRM:/r4/c1-Joint2:41", "PRM:/r4/c1-Joint2:j1"},
    {"PRM:/r4/c1/c2-Joint2:42", "PRM:/r4/c1/c2-Joint2:j2"},
    {"PRM:/r4/c1/c2/c3-Joint2:43", "PRM:/r4/c1/c2/c3-Joint2:j3"},
    {"PRM:/r4/c1/c2/c3/c4-Sensor:44", "PRM:/r4/c1/c2/c3/c4-Sensor:s4"},
    {"PRM:/r5/c1-Joint2:51", "PRM:/r5/c1-Joint2:j1"},
    {"PRM:/r5/c1/c2-Joint2:52", "PRM:/r5/c1/c2-Joint2:j2"},
    {"PRM:/r5/c1/c2/c3-Joint2:53", "PRM:/r5/c1/c2/c3-Joint2:j3"},
    {"PRM:/r5/c1/c2/c3/c4-Sensor:54", "PRM:/r5/c1/c2/c3/c4-Sensor:s4"},
    {"PRM:/t4-Sensor:t4", "PRM:/r6/s1-Sensor:s1"},
    {"PRM:/r1/c1/c2/c3/e5-Joint4:15", "PRM:/r1/c1/c2/c3/e1-Joint3:j5"},
    {"PRM:/r1/c1/c2/c3/e6-Joint4:16", "PRM:/r1/c1/c2/c3/e2-Joint3:j6"},
    {"PRM:/r1/c1/c2/c3/c4-Joint2:14", "PRM:/r1/c1/c2/c3/c4-Joint2:j4"},
    {"PRM:/r6/c1-Joint2:61", "PRM:/r6/c1-Joint2:j1"},
    {"PRM:/r6/c2-Joint2:62", "PRM:/r6/c2-Joint2:j2"},
    {"", "PRM:/r6/t1-Sensor:t1"},
    {"", "PRM:/r6/s2-Sensor:s2"},
    {"", "PRM:/r6/s3-Sensor:s3"},
    {"", "PRM:/r6/s4-Sensor:s4"},
    {"PRM:PSDWithXY", "PRM:PSDWithXY"},
    {"PRM:/r1/c1/c2/c3-Joint2:13", ""},
    {"PRM:/t3-Sensor:t3", ""},
    {"PRM:/t2-Sensor:t2", ""},
    {"PRM:PSDWithXY_FN", ""},
    {"PRM:PSDWithXY_N", ""},
    {"PRM:PSDWithXY_F", ""},
};
const std::vector<int> kJoints = {2000, 2001, 2002, 2023, 2003, 3000, 3001, 3002, 4000, 4001,
                                  4002, 5000, 5001, 5002, 6000, 6001, 6002, 7000, 7001};
const std::vector<int> kSensorArray = {-1, -1, -1, 0,  1,  2,  -1, -1, -1, -1, 5,  6,  7,  -1, 8,
                                       9,  10, -1, 11, 12, 13, -1, 14, 15, 16, -1, -1, -1, -1, 4,
                                       17, 18, -1, -1, -1, -1, -1, 3,  -1, -1, -1, -1, -1};
const std::vector<int> kSensorIds = {3,  4,  37, 27, 28, 29, 6,  7,  8,  10, 11, 12, 14, 15, 16, 18, 19,
                                     20, 22, 23, 24, 30, 31, 26, 38, 39, 36, 40, 41, 42, 0,  1,  2};

enum Table { TableA, TableB };

std::string LocatorOf(unsigned int design, int slot)
{
    char buffer[KINEMAP_LOCATOR_SIZE] = "";
    CKinemap(design).GetPrimitiveLocator(slot, buffer);
    return buffer;
}

// Calls query with a marker-filled array of 64 and returns what it wrote up
// to the first untouched marker, checking the count it returned.
template <typename Query>
std::vector<int> Written(Query query, int expectedCount)
{
    std::vector<int> array(64, kMarker);
    EXPECT_EQ(expectedCount, query(array.data()));
    std::vector<int> written(array.begin(), array.begin() + expectedCount);
    for (size_t i = expectedCount; i < array.size(); ++i) {
        EXPECT_EQ(kMarker, array[i]) << i;
    }
    return written;
}

}  // namespace

TEST(BodyArrays, FullArraysAndExactCounts)
{
    for (unsigned int design : {0u, 1u, 2u, UINT_MAX}) {
        CKinemap body(design);
        EXPECT_EQ(19, body.GetJointArray(nullptr));
        EXPECT_EQ(43, body.GetSensorArray(nullptr));
        EXPECT_EQ(kJoints, Written([&](int* a) { return body.GetJointArray(a); }, 19));
        EXPECT_EQ(kSensorArray, Written([&](int* a) { return body.GetSensorArray(a); }, 43));
        const bool keyed = design == 1;
        EXPECT_EQ(keyed ? 33 : 0, body.GetSensorIDs(nullptr));
        const std::vector<int> ids = Written([&](int* a) { return body.GetSensorIDs(a); }, keyed ? 33 : 0);
        if (keyed) {
            EXPECT_EQ(kSensorIds, ids);
        }
    }
}

TEST(BodyArrays, CrossTableInvariants)
{
    std::set<int> seenPositions;
    for (int slot = 0; slot < 43; ++slot) {
        const int position = kSensorArray[slot];
        if (position < 0) {
            continue;
        }
        EXPECT_TRUE(seenPositions.insert(position).second) << "position twice: " << position;
        const std::string a = kLocators[slot][TableA], b = kLocators[slot][TableB];
        EXPECT_FALSE(a.empty() && b.empty()) << slot;
        for (const std::string& locator : {a, b}) {
            if (locator.empty()) {
                continue;
            }
            EXPECT_NE(std::string::npos, locator.find("-Joint2:")) << slot;
            // Thousands group follows the root segment: /r1 is 2000s ... /r6 is 7000s.
            EXPECT_EQ(locator[6] - '0' + 1, kJoints[position] / 1000) << slot;
        }
    }
    EXPECT_EQ(19u, seenPositions.size());
    EXPECT_EQ(-1, kSensorArray[27]);
    EXPECT_EQ(-1, kSensorArray[28]);
    std::set<int> listed(kSensorIds.begin(), kSensorIds.end());
    EXPECT_EQ(33u, listed.size());
    for (int left : {5, 9, 13, 17, 21, 25, 32, 33, 34, 35}) {
        EXPECT_EQ(0u, listed.count(left));
    }
}

TEST(Locators, EveryEntryOfBothTables)
{
    std::set<int> emptyA, emptyB;
    size_t longest = 0;
    for (int slot = 0; slot < 43; ++slot) {
        for (unsigned int design : {1u, 0u, 2u, UINT_MAX}) {
            const char* expected = kLocators[slot][design == 1 ? TableA : TableB];
            char buffer[KINEMAP_LOCATOR_SIZE];
            std::memset(buffer, kFill, sizeof buffer);
            ASSERT_EQ(1, CKinemap(design).GetPrimitiveLocator(slot, buffer));
            const size_t length = std::strlen(expected);
            EXPECT_EQ(0, std::memcmp(expected, buffer, length + 1)) << slot << " design " << design;
            for (size_t i = length + 1; i < sizeof buffer; ++i) {
                ASSERT_EQ(kFill, buffer[i]) << slot;
            }
            if (length == 0) {
                (design == 1 ? emptyA : emptyB).insert(slot);
            }
            longest = std::max(longest, length);
            if (length > 0) {
                EXPECT_EQ(0, std::strncmp(expected, "PRM:", 4));
            }
        }
    }
    EXPECT_EQ((std::set<int>{5, 7, 32, 33, 34, 35}), emptyA);
    EXPECT_EQ((std::set<int>{37, 38, 39, 40, 41, 42}), emptyB);
    EXPECT_EQ(32u, longest);
    EXPECT_EQ("PRM:/r1/c1/c2/c3/c4/s5-Sensor:s5", LocatorOf(1, 8));
    EXPECT_EQ(LocatorOf(0, 8), LocatorOf(1, 8));
}

TEST(Locators, OutOfRangeOrNullBufferWritesNothing)
{
    for (unsigned int design : {0u, 1u, 2u, UINT_MAX}) {
        for (int slot : {-1, 43, 44, INT_MIN, INT_MAX}) {
            char buffer[KINEMAP_LOCATOR_SIZE];
            std::memset(buffer, kFill, sizeof buffer);
            EXPECT_EQ(0, CKinemap(design).GetPrimitiveLocator(slot, buffer)) << slot;
            for (char c : buffer) {
                ASSERT_EQ(kFill, c) << slot;
            }
        }
        EXPECT_EQ(0, CKinemap(design).GetPrimitiveLocator(0, nullptr));
        EXPECT_EQ(0, CKinemap(design).GetPrimitiveLocator(-1, nullptr));
    }
}
