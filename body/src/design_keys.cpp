// Design identification: the host's key is matched exactly, byte for byte,
// against the key of each design that has one.
#include <cstring>

#include "body_constants.h"

namespace {

struct DesignKey {
    const unsigned short* units;  // null: the design has no key
    int count;
};

const unsigned short kKeyedDesignUnits[] = {11, 1, 1};

// Indexed by design number.
const DesignKey kDesignKeys[] = {
    {nullptr, 0},
    {kKeyedDesignUnits, sizeof kKeyedDesignUnits / sizeof kKeyedDesignUnits[0]},
};

const unsigned int kNoDesign = KINEMAP_DESIGN_DEFAULT;

bool KeyMatches(const DesignKey& key, const unsigned short* units, int count)
{
    return key.units != nullptr && key.count == count && std::memcmp(key.units, units, count * sizeof *units) == 0;
}

}  // namespace

unsigned int CKinemap::GetRobotDesign(unsigned short* pKey, int nCount)
{
    if (pKey == nullptr) {
        return kNoDesign;
    }
    const unsigned int rows = sizeof kDesignKeys / sizeof kDesignKeys[0];
    for (unsigned int design = 0; design < rows; ++design) {
        if (KeyMatches(kDesignKeys[design], pKey, nCount)) {
            return design;
        }
    }
    return kNoDesign;
}
