// A host's first steps: identify the design, read a locator, load a name.
#include <kinemap/kinemap.h>

#include <cstdio>
#include <cstring>

int main()
{
    unsigned short key[] = {11, 1, 1};
    CKinemap body(CKinemap::GetRobotDesign(key, 3));
    char locator[KINEMAP_LOCATOR_SIZE];
    char name[32];
    const bool ok = body.GetSensorIDs(NULL) == 33 && body.GetPrimitiveLocator(37, locator) == 1 &&
                    std::strcmp(locator, "PRM:/r1/c1/c2/c3-Joint2:13") == 0 &&
                    KinemapLoadString(7, 1033, name, sizeof name) == 12;
    std::printf("%s %s\n", ok ? "consumer ok:" : "consumer FAILED:", locator);
    return ok ? 0 : 1;
}
