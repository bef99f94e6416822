// One whole discovery in a C host under valgrind memcheck, on the private
// LAN against the robot simulator: no memory error and no leak, with the
// host freeing every string.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "lan_fixture.h"

extern char** environ;

namespace seekwell::test {
namespace {

constexpr auto kSimulatorStartLimit = std::chrono::seconds(10);

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The simulator on the robot host, stopped and reaped with the object.
class Simulator {
public:
    Simulator(NamespaceHost& host, std::vector<std::string> arguments)
    {
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        host.Run([&] { started_ = posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) == 0; });
    }
    ~Simulator()
    {
        if (started_) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;
    bool Started() const { return started_; }

private:
    pid_t pid_ = 0;
    bool started_ = false;
};

bool WaitForFile(const std::string& path)
{
    const auto end = Clock::now() + kSimulatorStartLimit;
    while (!std::filesystem::exists(path) && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::filesystem::exists(path);
}

class UnderValgrind : public LanFixture {};

TEST_F(UnderValgrind, WholeDiscoveryHasNoErrorAndNoLeak)
{
    if (std::system("valgrind --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "valgrind is not installed";
    }
    const std::string scratch = ::testing::TempDir() + "seekwell-valgrind-" + std::to_string(getpid());
    const std::string ready = scratch + ".ready";
    const std::string log = scratch + ".log";
    // Three robots, the third without an HTTP server, and one other device.
    const Simulator simulator(lan_->Robots(), {ROBOT_SIMULATOR, "--robots", "3", "--others", "1", "--fault",
                                               "3:no-http", "--first-address", RobotAddress(0), "--interface",
                                               RobotHostInterface(), "--ready-file", ready, "--duration", "120"});
    ASSERT_TRUE(simulator.Started() && WaitForFile(ready)) << "the simulator did not start";

    const std::string command =
        "valgrind --error-exitcode=99 --leak-check=full"
        " --show-leak-kinds=definite,indirect,possible "
        "--errors-for-leak-kinds=definite,indirect,possible " +
        std::string(VALGRIND_HOST) + " " + library_->Path() + " 2 >" + log + " 2>&1";
    int status = -1;
    lan_->Client().Run([&] { status = std::system(command.c_str()); });
    const std::string output = ReadFile(log);
    std::filesystem::remove(log);
    std::filesystem::remove(ready);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("ERROR SUMMARY: 0 errors"), std::string::npos) << output;
    EXPECT_NE(output.find("0\tROVA robot 1\t" + RobotAddress(0)), std::string::npos) << output;
    EXPECT_NE(output.find("1\tROVA robot 2\t" + RobotAddress(1)), std::string::npos) << output;
}

}  // namespace
}  // namespace seekwell::test
