// The joint and sensor arrays. Each query hands over a whole constant array
// in one copy; a null pointer only asks for its length.
#include <cstring>

#include "body_constants.h"

namespace {

const int kNoJoint = -1;

// Grouped by thousands per root segment (/r1 = 2000s ... /r6 = 7000s); 2023
// is the /r1/c1/c2/c3 joint of the keyed design, 2002 that of the others.
const int kJointIds[KINEMAP_JOINT_COUNT] = {
    2000, 2001, 2002, 2023, 2003,  // positions 0-4
    3000, 3001, 3002,              // 5-7
    4000, 4001, 4002,              // 8-10
    5000, 5001, 5002,              // 11-13
    6000, 6001, 6002,              // 14-16
    7000, 7001,                    // 17-18
};

// For each body slot, the position in kJointIds of the joint sitting there.
const int kJointPositionBySlot[kinemap::kPrimitiveCount] = {
    kNoJoint, kNoJoint, kNoJoint, 0,        1,        2,        kNoJoint, kNoJoint,  // 0-7
    kNoJoint, kNoJoint, 5,        6,        7,        kNoJoint, 8,        9,         // 8-15
    10,       kNoJoint, 11,       12,       13,       kNoJoint, 14,       15,        // 16-23
    16,       kNoJoint, kNoJoint, kNoJoint, kNoJoint, 4,        17,       18,        // 24-31
    kNoJoint, kNoJoint, kNoJoint, kNoJoint, kNoJoint, 3,        kNoJoint, kNoJoint,  // 32-39
    kNoJoint, kNoJoint, kNoJoint,                                                    // 40-42
};

// The keyed design's sensor slots (primitive indexes), in the host's order.
const int kKeyedDesignSensorSlots[KINEMAP_SENSOR_ID_COUNT] = {
    3,  4,  37, 27, 28, 29, 6,  7,  8,   // /r1 chain and its sensors
    10, 11, 12, 14, 15, 16, 18, 19, 20,  // /r2, /r3, /r4 joints
    22, 23, 24, 30, 31,                  // /r5, /r6 joints
    26, 38, 39,                          // t4, t3, t2
    36, 40, 41, 42,                      // PSDWithXY, _FN, _N, _F
    0,  1,  2,                           // a1, a2, a3
};

template <int N>
int CopyWhole(const int (&table)[N], int* destination)
{
    if (destination != nullptr) {
        std::memcpy(destination, table, sizeof table);
    }
    return N;
}

}  // namespace

int CKinemap::GetJointArray(int* pArray) { return CopyWhole(kJointIds, pArray); }

int CKinemap::GetSensorArray(int* pArray) { return CopyWhole(kJointPositionBySlot, pArray); }

int CKinemap::GetSensorIDs(int* pArray)
{
    if (!kinemap::IsKeyedDesign(m_nDesign)) {
        return 0;
    }
    return CopyWhole(kKeyedDesignSensorSlots, pArray);
}
