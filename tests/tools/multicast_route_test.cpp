// The route check seekwell-discover makes before a search, in a network namespace of the test's
// own that has only loopback: nothing can leave it.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "multicast_route.h"

namespace seekwell_discover {
namespace {

const char kGroup[] = "239.255.255.250";
constexpr std::uint16_t kPort = 1900;
// What the child reports by its exit status.
constexpr int kChildAgrees = 0;
constexpr int kChildDisagrees = 1;
constexpr int kChildCannotUnshare = 2;
constexpr int kChildCannotRoute = 3;

// Runs in a forked child: a fresh network namespace (loopback only, down) has no route to the
// group; a route for multicast onto loopback gives one.
[[noreturn]] void CheckInFreshNamespace()
{
    if (unshare(CLONE_NEWNET) != 0) {
        _exit(kChildCannotUnshare);
    }
    if (MulticastRouteState(kGroup, kPort) != RouteState::NoRoute) {
        _exit(kChildDisagrees);
    }
    if (std::system("ip link set lo up && ip route add 224.0.0.0/4 dev lo") != 0) {
        _exit(kChildCannotRoute);
    }
    _exit(MulticastRouteState(kGroup, kPort) == RouteState::Routed ? kChildAgrees : kChildDisagrees);
}

TEST(MulticastRouteTest, NoRouteInAFreshNamespaceAndARouteOnceOneIsAdded)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to create a network namespace";
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CheckInFreshNamespace();
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kChildCannotUnshare) {
        GTEST_SKIP() << "cannot create a network namespace here";
    }
    EXPECT_EQ(WEXITSTATUS(status), kChildAgrees);
}

}  // namespace
}  // namespace seekwell_discover
