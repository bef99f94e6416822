// One whole discovery in a C host under valgrind memcheck, on the private
// LAN: no memory error and no leak, with the host freeing every string.
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "lan_fixture.h"

namespace seekwell::test {
namespace {

constexpr int kValgrindError = 99;

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class UnderValgrind : public LanFixture {};

TEST_F(UnderValgrind, WholeDiscoveryHasNoErrorAndNoLeak)
{
    if (std::system("valgrind --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "valgrind is not installed";
    }
    const std::string robots[] = {RobotAddress(0), RobotAddress(1)};
    ServeDescriptions({{robots[0], Response(RobotDescription("Alpha"))},
                       {robots[1], Response(RobotDescription("Beta"))}});
    Respond({{robots[0], RobotSsdpReply(robots[0])}, {robots[1], RobotSsdpReply(robots[1])}});

    const std::string log = ::testing::TempDir() + "seekwell-valgrind-" + std::to_string(getpid()) + ".log";
    const std::string command = std::string("valgrind --error-exitcode=") + std::to_string(kValgrindError) +
        " --leak-check=full --show-leak-kinds=definite,indirect,possible"
        " --errors-for-leak-kinds=definite,indirect,possible --track-fds=no " VALGRIND_HOST " " +
        m_Library->Path() + " 2 >" + log + " 2>&1";
    int status = -1;
    m_Lan->Client().Run([&] { status = std::system(command.c_str()); });
    const std::string output = ReadFile(log);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("ERROR SUMMARY: 0 errors"), std::string::npos) << output;
    EXPECT_NE(output.find("0\tAlpha\t" + robots[0]), std::string::npos) << output;
    EXPECT_NE(output.find("1\tBeta\t" + robots[1]), std::string::npos) << output;
}

}  // namespace
}  // namespace seekwell::test
