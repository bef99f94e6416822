// The locator strings of the 43 body slots: table A for the keyed design,
// table B for every other design. An empty slot means the design has nothing
// there.
#include <array>
#include <cstddef>
#include <cstring>

#include "body_constants.h"

using kinemap::kLocatorSize;
using kinemap::kPrimitiveCount;

static constexpr char kKeyedDesignLocators[kPrimitiveCount][kLocatorSize] = {
    "PRM:/a1-Sensor:a1",                 // 0
    "PRM:/a2-Sensor:a2",                 // 1
    "PRM:/a3-Sensor:a3",                 // 2
    "PRM:/r1/c1-Joint2:11",              // 3
    "PRM:/r1/c1/c2-Joint2:12",           // 4
    "",                                  // 5
    "PRM:/r1/c1/c2/c3/t1-Sensor:t1",     // 6
    "",                                  // 7
    "PRM:/r1/c1/c2/c3/c4/s5-Sensor:s5",  // 8
    "PRM:/p1-Sensor:p1",                 // 9
    "PRM:/r2/c1-Joint2:21",              // 10
    "PRM:/r2/c1/c2-Joint2:22",           // 11
    "PRM:/r2/c1/c2/c3-Joint2:23",        // 12
    "PRM:/r2/c1/c2/c3/c4-Sensor:24",     // 13
    "PRM:/r3/c1-Joint2:31",              // 14
    "PRM:/r3/c1/c2-Joint2:32",           // 15
    "PRM:/r3/c1/c2/c3-Joint2:33",        // 16
    "PRM:/r3/c1/c2/c3/c4-Sensor:34",     // 17
    "PRM:/r4/c1-Joint2:41",              // 18
    "PRM:/r4/c1/c2-Joint2:42",           // 19
    "PRM:/r4/c1/c2/c3-Joint2:43",        // 20
    "PRM:/r4/c1/c2/c3/c4-Sensor:44",     // 21
    "PRM:/r5/c1-Joint2:51",              // 22
    "PRM:/r5/c1/c2-Joint2:52",           // 23
    "PRM:/r5/c1/c2/c3-Joint2:53",        // 24
    "PRM:/r5/c1/c2/c3/c4-Sensor:54",     // 25
    "PRM:/t4-Sensor:t4",                 // 26
    "PRM:/r1/c1/c2/c3/e5-Joint4:15",     // 27
    "PRM:/r1/c1/c2/c3/e6-Joint4:16",     // 28
    "PRM:/r1/c1/c2/c3/c4-Joint2:14",     // 29
    "PRM:/r6/c1-Joint2:61",              // 30
    "PRM:/r6/c2-Joint2:62",              // 31
    "",                                  // 32
    "",                                  // 33
    "",                                  // 34
    "",                                  // 35
    "PRM:PSDWithXY",                     // 36
    "PRM:/r1/c1/c2/c3-Joint2:13",        // 37
    "PRM:/t3-Sensor:t3",                 // 38
    "PRM:/t2-Sensor:t2",                 // 39
    "PRM:PSDWithXY_FN",                  // 40
    "PRM:PSDWithXY_N",                   // 41
    "PRM:PSDWithXY_F",                   // 42
};

static constexpr char kDefaultDesignLocators[kPrimitiveCount][kLocatorSize] = {
    "PRM:/a1-Sensor:a1",                 // 0
    "PRM:/a2-Sensor:a2",                 // 1
    "PRM:/a3-Sensor:a3",                 // 2
    "PRM:/r1/c1-Joint2:j1",              // 3
    "PRM:/r1/c1/c2-Joint2:j2",           // 4
    "PRM:/r1/c1/c2/c3-Joint2:j3",        // 5
    "PRM:/r1/c1/c2/c3/f1-Sensor:f1",     // 6
    "PRM:/r1/c1/c2/c3/f2-Sensor:f2",     // 7
    "PRM:/r1/c1/c2/c3/c4/s5-Sensor:s5",  // 8
    "PRM:/r1/c1/c2/c3/p1-Sensor:p1",     // 9
    "PRM:/r2/c1-Joint2:j1",              // 10
    "PRM:/r2/c1/c2-Joint2:j2",           // 11
    "PRM:/r2/c1/c2/c3-Joint2:j3",        // 12
    "PRM:/r2/c1/c2/c3/c4-Sensor:s4",     // 13
    "PRM:/r3/c1-Joint2:j1",              // 14
    "PRM:/r3/c1/c2-Joint2:j2",           // 15
    "PRM:/r3/c1/c2/c3-Joint2:j3",        // 16
    "PRM:/r3/c1/c2/c3/c4-Sensor:s4",     // 17
    "PRM:/r4/c1-Joint2:j1",              // 18
    "PRM:/r4/c1/c2-Joint2:j2",           // 19
    "PRM:/r4/c1/c2/c3-Joint2:j3",        // 20
    "PRM:/r4/c1/c2/c3/c4-Sensor:s4",     // 21
    "PRM:/r5/c1-Joint2:j1",              // 22
    "PRM:/r5/c1/c2-Joint2:j2",           // 23
    "PRM:/r5/c1/c2/c3-Joint2:j3",        // 24
    "PRM:/r5/c1/c2/c3/c4-Sensor:s4",     // 25
    "PRM:/r6/s1-Sensor:s1",              // 26
    "PRM:/r1/c1/c2/c3/e1-Joint3:j5",     // 27
    "PRM:/r1/c1/c2/c3/e2-Joint3:j6",     // 28
    "PRM:/r1/c1/c2/c3/c4-Joint2:j4",     // 29
    "PRM:/r6/c1-Joint2:j1",              // 30
    "PRM:/r6/c2-Joint2:j2",              // 31
    "PRM:/r6/t1-Sensor:t1",              // 32
    "PRM:/r6/s2-Sensor:s2",              // 33
    "PRM:/r6/s3-Sensor:s3",              // 34
    "PRM:/r6/s4-Sensor:s4",              // 35
    "PRM:PSDWithXY",                     // 36
    "",                                  // 37
    "",                                  // 38
    "",                                  // 39
    "",                                  // 40
    "",                                  // 41
    "",                                  // 42
};

namespace {

using LocatorLengths = std::array<std::size_t, kPrimitiveCount>;

// Lengths worked out when compiling, so a lookup copies without scanning.
constexpr LocatorLengths LengthsOf(const char (&table)[kPrimitiveCount][kLocatorSize])
{
    LocatorLengths lengths{};
    for (int index = 0; index < kPrimitiveCount; ++index) {
        std::size_t length = 0;
        while (table[index][length] != '\0') {
            ++length;
        }
        lengths[index] = length;
    }
    return lengths;
}

constexpr LocatorLengths kKeyedDesignLengths = LengthsOf(kKeyedDesignLocators);
constexpr LocatorLengths kDefaultDesignLengths = LengthsOf(kDefaultDesignLocators);

// Copies n bytes, 1 <= n <= kLocatorSize, with fixed-size moves that may
// overlap: a locator is a few dozen bytes, where a library call or a string
// instruction costs more than the copy itself.
void CopyShort(char* destination, const char* source, std::size_t n)
{
    const std::size_t kChunk = 16;
    if (n >= kChunk) {
        for (std::size_t offset = 0; offset + kChunk < n; offset += kChunk) {
            std::memcpy(destination + offset, source + offset, kChunk);
        }
        std::memcpy(destination + n - kChunk, source + n - kChunk, kChunk);
    } else if (n >= 8) {
        std::memcpy(destination, source, 8);
        std::memcpy(destination + n - 8, source + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(destination, source, 4);
        std::memcpy(destination + n - 4, source + n - 4, 4);
    } else {
        destination[0] = source[0];
        destination[n / 2] = source[n / 2];
        destination[n - 1] = source[n - 1];
    }
}

bool IsPrimitiveIndex(int index) { return index >= 0 && index < kPrimitiveCount; }

}  // namespace

// Copies the entry and its NUL only, so the caller's bytes beyond stay as
// they were. A null buffer is refused rather than written through.
int CKinemap::GetPrimitiveLocator(int nIndex, char* pszLocator)
{
    if (!IsPrimitiveIndex(nIndex) || pszLocator == nullptr) {
        return 0;
    }
    const bool keyed = kinemap::IsKeyedDesign(m_nDesign);
    const char* locator = keyed ? kKeyedDesignLocators[nIndex] : kDefaultDesignLocators[nIndex];
    const std::size_t length = keyed ? kKeyedDesignLengths[nIndex] : kDefaultDesignLengths[nIndex];
    CopyShort(pszLocator, locator, length + 1);
    return 1;
}
