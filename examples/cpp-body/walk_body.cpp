// A host in C++: identifies a robot's design from its key, then walks the
// design's body slot by slot, naming the joint in each slot.
//
//   c++ walk_body.cpp $(pkg-config --cflags --libs kinemap) -o walk_body
//   ./walk_body            (the keyed design, key 11,1,1)
//   ./walk_body 0          (the default design)
#include <kinemap/kinemap.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

unsigned int DesignFromArguments(int argc, char** argv)
{
    if (argc > 1) {
        return static_cast<unsigned int>(std::strtoul(argv[1], nullptr, 10));
    }
    // The key a robot of the keyed design reports.
    unsigned short key[] = {11, 1, 1};
    return CKinemap::GetRobotDesign(key, 3);
}

// A null pointer asks for the count; then the caller supplies the room.
std::vector<int> JointIds(CKinemap& body)
{
    std::vector<int> ids(body.GetJointArray(nullptr));
    body.GetJointArray(ids.data());
    return ids;
}

std::vector<int> JointPositionPerSlot(CKinemap& body)
{
    std::vector<int> positions(body.GetSensorArray(nullptr));
    body.GetSensorArray(positions.data());
    return positions;
}

}  // namespace

int main(int argc, char** argv)
{
    CKinemap body(DesignFromArguments(argc, argv));
    const std::vector<int> joints = JointIds(body);
    const std::vector<int> positions = JointPositionPerSlot(body);

    std::printf("design %u: %zu joints, %zu body slots\n", body.m_nDesign, joints.size(), positions.size());
    for (size_t slot = 0; slot < positions.size(); ++slot) {
        char locator[KINEMAP_LOCATOR_SIZE];
        body.GetPrimitiveLocator(static_cast<int>(slot), locator);
        const char* shown = locator[0] != '\0' ? locator : "(empty)";
        const int position = positions[slot];
        if (position < 0) {
            std::printf("slot %2zu  %-34s no joint\n", slot, shown);
        } else {
            std::printf("slot %2zu  %-34s joint %2d (id %d)\n", slot, shown, position, joints[position]);
        }
    }
    return 0;
}
