// The installed library in private networks: with its plugin beside it the
// search goes through the device finder; copied alone, or in a process that
// holds the older HTTP library, it runs its built-in search.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "private_network.h"
#include "sanitizer_checks.h"
#include "seekwell/seekwell.h"
#include "test_devices.h"

namespace seekwell::test {
namespace {

namespace fs = std::filesystem;

// Paths handed in by the build.
const fs::path kInstalledLibrary = fs::path(SEEKWELL_TEST_INSTALL_PREFIX) / SEEKWELL_TEST_INSTALL_LIBDIR /
                                   "libseekwell.so." SEEKWELL_TEST_SOVERSION;
const fs::path kScratchDirectory = SEEKWELL_TEST_SCRATCH_DIR;
constexpr const char kFakeSoup2Path[] = SEEKWELL_TEST_FAKE_SOUP2;

constexpr std::chrono::seconds kChildLimit{60};
constexpr long long kWindowMs = 10000;
// The built-in search adds its description fetches to the window.
constexpr long long kMostAfterWindowMs = 3000;

using DiscoverFn = int (*)(DISCOVERY_RESULT*);

// Writes "result <n> <elapsed ms>" and one "name@address" line per record.
int ReportDiscovery(const fs::path& library, FILE* report) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto discover =
        handle != nullptr ? reinterpret_cast<DiscoverFn>(dlsym(handle, "DiscoveryROVAByUPnP")) : nullptr;
    if (discover == nullptr) {
        std::fprintf(report, "cannot load %s\n", library.c_str());
        return 1;
    }
    DISCOVERY_RESULT records[SEEKWELL_MAX_RESULTS] = {};
    const auto start = std::chrono::steady_clock::now();
    const int n = discover(records);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    std::fprintf(report, "result %d %lld\n", n,
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    for (int i = 0; i < n; ++i) {
        std::fprintf(report, "%s@%s\n", records[i].pszName, records[i].pszAddress);
        std::free(records[i].pszName);
        std::free(records[i].pszAddress);
    }
    return LeakCheckPasses() ? 0 : 1;
}

struct Discovery {
    int nResult = -2;
    long long nElapsedMs = 0;
    std::vector<std::string> records;  // sorted
};

Discovery ParseDiscovery(const std::string& output) {
    Discovery discovery;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("result ", 0) == 0) {
            std::istringstream(line.substr(7)) >> discovery.nResult >> discovery.nElapsedMs;
        } else {
            discovery.records.push_back(line);
        }
    }
    std::sort(discovery.records.begin(), discovery.records.end());
    return discovery;
}

class LibraryPathsTest : public ::testing::Test {
protected:
    // Runs body in the private network; skips when none can be made.
    Discovery Run(const std::function<int(FILE*)>& body) {
        const ChildOutcome outcome = RunInPrivateNetwork(MixedTestDevices(), body, kChildLimit);
        if (!outcome.strSkipReason.empty()) {
            m_strSkipReason = outcome.strSkipReason;
            return Discovery();
        }
        EXPECT_TRUE(outcome.bExitedInTime) << outcome.strOutput;
        EXPECT_EQ(outcome.nExitCode, 0) << outcome.strOutput;
        return ParseDiscovery(outcome.strOutput);
    }

    // The robot at the device host, as the built-in search reports it.
    static void ExpectBuiltInSearch(const Discovery& discovery) {
        EXPECT_EQ(discovery.nResult, 1);
        EXPECT_EQ(discovery.records, std::vector<std::string>{"Robot one@192.0.2.10"});
        EXPECT_GE(discovery.nElapsedMs, kWindowMs);
        EXPECT_LT(discovery.nElapsedMs, kWindowMs + kMostAfterWindowMs);
    }

    std::string m_strSkipReason;
};

TEST_F(LibraryPathsTest, WithThePluginTheFinderReportsRobotsByPresentationHost) {
    ASSERT_TRUE(fs::exists(kInstalledLibrary.parent_path() / "seekwell" / "seekwell-finder-gupnp.so"));
    const Discovery discovery = Run([](FILE* report) { return ReportDiscovery(kInstalledLibrary, report); });
    if (!m_strSkipReason.empty()) {
        GTEST_SKIP() << m_strSkipReason;
    }
    // Not the printer, not the robot without a page, not the one whose
    // description never came.
    EXPECT_EQ(discovery.nResult, 3);
    EXPECT_EQ(discovery.records, (std::vector<std::string>{"Robot one@192.0.2.10", "Robot three@192.0.2.12",
                                                           "Robot two@192.0.2.11:8080/app"}));
    EXPECT_GE(discovery.nElapsedMs, kWindowMs);
    EXPECT_LT(discovery.nElapsedMs, kWindowMs + 1000);
    std::printf("finder path, 3 robots: %lld ms\n", discovery.nElapsedMs);
}

TEST_F(LibraryPathsTest, LibraryCopiedAloneRunsTheBuiltInSearch) {
    const fs::path alone = kScratchDirectory / "alone" / kInstalledLibrary.filename();
    fs::create_directories(alone.parent_path());
    fs::copy_file(fs::canonical(kInstalledLibrary), alone, fs::copy_options::overwrite_existing);
    ASSERT_FALSE(fs::exists(alone.parent_path() / "seekwell"));
    const Discovery discovery = Run([&alone](FILE* report) { return ReportDiscovery(alone, report); });
    if (!m_strSkipReason.empty()) {
        GTEST_SKIP() << m_strSkipReason;
    }
    ExpectBuiltInSearch(discovery);
}

TEST_F(LibraryPathsTest, OlderHttpLibraryInTheProcessRunsTheBuiltInSearch) {
    const Discovery discovery = Run([](FILE* report) {
        if (dlopen(kFakeSoup2Path, RTLD_NOW | RTLD_LOCAL) == nullptr) {
            return 1;
        }
        const int exitCode = ReportDiscovery(kInstalledLibrary, report);
        // The finder's HTTP library would have aborted the process at load.
        const bool bSoup3Loaded = dlopen("libsoup-3.0.so.0", RTLD_LAZY | RTLD_NOLOAD) != nullptr;
        return bSoup3Loaded ? 1 : exitCode;
    });
    if (!m_strSkipReason.empty()) {
        GTEST_SKIP() << m_strSkipReason;
    }
    ExpectBuiltInSearch(discovery);
}

}  // namespace
}  // namespace seekwell::test
