#include <kinemap/kinemap.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

// Everything a host can learn from one object, as text for comparing objects.
std::string AnswersOf(CKinemap body)
{
    int values[64];
    std::string answers;
    const auto append = [&](int count) {
        answers += std::to_string(count) + ":";
        for (int i = 0; i < count; ++i) {
            answers += std::to_string(values[i]) + ",";
        }
    };
    append(body.GetJointArray(values));
    append(body.GetSensorArray(values));
    append(body.GetSensorIDs(values));
    for (int slot = -1; slot <= 43; ++slot) {
        char buffer[KINEMAP_LOCATOR_SIZE] = "untouched";
        answers += std::to_string(body.GetPrimitiveLocator(slot, buffer)) + buffer + "\n";
    }
    return answers;
}

unsigned int DesignOfKey(std::vector<unsigned short> units, int count)
{
    // Exactly sized heap copy: reading past it is caught by AddressSanitizer.
    unsigned short* key = new unsigned short[units.size()];
    std::copy(units.begin(), units.end(), key);
    const unsigned int design = CKinemap::GetRobotDesign(key, count);
    delete[] key;
    return design;
}

}  // namespace

TEST(RobotDesign, MatchesOnlyTheExactKey)
{
    EXPECT_EQ(1u, DesignOfKey({11, 1, 1}, 3));
    EXPECT_EQ(0u, DesignOfKey({11, 1, 1, 0}, 4));
    EXPECT_EQ(0u, DesignOfKey({11, 1}, 2));
    EXPECT_EQ(0u, DesignOfKey({11, 1, 2}, 3));
    EXPECT_EQ(0u, DesignOfKey({1, 1, 11}, 3));
    EXPECT_EQ(0u, DesignOfKey({11 | 0x100, 1, 1}, 3));
    EXPECT_EQ(0u, DesignOfKey({0x0B00, 0x0100, 0x0100}, 3));  // byte-swapped
    for (int count : {0, -1, -3, INT_MIN}) {
        EXPECT_EQ(0u, DesignOfKey({}, count)) << count;
    }
}

TEST(RobotDesign, NullKeyGivesNoDesign)
{
    EXPECT_EQ(0u, CKinemap::GetRobotDesign(nullptr, 3));
    EXPECT_EQ(0u, CKinemap::GetRobotDesign(nullptr, 0));
}

TEST(BodyObject, LayoutIsAVtablePointerAndTheDesign)
{
    EXPECT_TRUE(std::has_virtual_destructor<CKinemap>::value);
    const size_t unpadded = sizeof(void*) + sizeof(unsigned int);
    EXPECT_EQ((unpadded + alignof(void*) - 1) / alignof(void*) * alignof(void*), sizeof(CKinemap));
    CKinemap body(5);
    EXPECT_EQ(sizeof(void*),
              static_cast<size_t>(reinterpret_cast<char*>(&body.m_nDesign) - reinterpret_cast<char*>(&body)));
    EXPECT_EQ(5u, body.m_nDesign);
}

TEST(BodyObject, CopyAndAssignCopyTheDesign)
{
    CKinemap keyed(1), target(0);
    const std::string keyedAnswers = AnswersOf(keyed);
    CKinemap copy(keyed);
    EXPECT_EQ(1u, copy.m_nDesign);
    EXPECT_EQ(&target, &(target = keyed));
    EXPECT_EQ(1u, target.m_nDesign);
    EXPECT_EQ(1u, keyed.m_nDesign);
    EXPECT_EQ(keyedAnswers, AnswersOf(target));
    target = target;
    EXPECT_EQ(1u, target.m_nDesign);
}

TEST(BodyObject, HeapObjectsDieThroughTheVirtualDestructor)
{
    static int destroyed = 0;
    struct Derived : CKinemap {
        Derived() : CKinemap(1) {}
        ~Derived() override { ++destroyed; }
    };
    CKinemap* body = new Derived;
    EXPECT_EQ(33, body->GetSensorIDs(nullptr));
    EXPECT_NE(nullptr, dynamic_cast<Derived*>(body));
    delete body;
    EXPECT_EQ(1, destroyed);
    CKinemap* several = new CKinemap[3]{0, 1, 2};
    EXPECT_EQ(33, several[1].GetSensorIDs(nullptr));
    delete[] several;
}

TEST(BodyObject, EveryDesignButOneAnswersAsDesignZero)
{
    const std::string zero = AnswersOf(CKinemap(0));
    for (unsigned int design : {2u, 3u, 0x80000001u, UINT_MAX}) {
        EXPECT_EQ(zero, AnswersOf(CKinemap(design))) << design;
    }
    EXPECT_NE(zero, AnswersOf(CKinemap(1)));
}

TEST(BodyObject, ConcurrentCallsGiveIdenticalAnswers)
{
    CKinemap shared[] = {CKinemap(0), CKinemap(1)};
    const std::string expected[] = {AnswersOf(shared[0]), AnswersOf(shared[1])};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 200; ++round) {
                unsigned short key[] = {11, 1, 1};
                char name[64];
                if (AnswersOf(shared[round % 2]) != expected[round % 2] || CKinemap::GetRobotDesign(key, 3) != 1 ||
                    KinemapLoadString(8, 1041, name, sizeof name) != 30) {
                    ++mismatches;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, mismatches.load());
}
