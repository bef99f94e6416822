#include <gtest/gtest.h>
#include <net/if.h>

#include "platform/interface_rule.h"

namespace seekwell {
namespace {

TEST(InterfaceRule, UpMulticastAndNotLoopback)
{
    struct Case {
        const char* what;
        unsigned int flags;
        bool searchable;
    };
    const Case cases[] = {
        {"ethernet", IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST, true},
        {"point-to-point with multicast", IFF_UP | IFF_POINTOPOINT | IFF_MULTICAST, true},
        {"down", IFF_BROADCAST | IFF_MULTICAST, false},
        {"no multicast", IFF_UP | IFF_BROADCAST | IFF_RUNNING, false},
        {"loopback", IFF_UP | IFF_LOOPBACK | IFF_RUNNING, false},
        {"loopback given multicast", IFF_UP | IFF_LOOPBACK | IFF_RUNNING | IFF_MULTICAST, false},
        {"none", 0, false},
    };
    for (const Case& each : cases) {
        EXPECT_EQ(platform::IsSearchableInterface(each.flags), each.searchable) << each.what;
    }
}

}  // namespace
}  // namespace seekwell
