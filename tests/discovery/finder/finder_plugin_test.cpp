#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "finder/platform/finder_plugin.h"
#include "private_network.h"
#include "sanitizer_checks.h"
#include "test_devices.h"

namespace seekwell::test {
namespace {

// Built beside the tests; paths handed in by the build.
constexpr const char kPluginPath[] = SEEKWELL_TEST_FINDER_PLUGIN;
constexpr const char kFakeSoup2Path[] = SEEKWELL_TEST_FAKE_SOUP2;
constexpr const char kNoFactoryPath[] = SEEKWELL_TEST_NO_FACTORY;
constexpr const char kSoup3Library[] = "libsoup-3.0.so.0";

bool IsLoaded(const char* library) {
    void* handle = dlopen(library, RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
}

TEST(FinderPluginTest, PresenceAndCreationFollowThePluginFile) {
    EXPECT_TRUE(IsFinderPluginLoadable(kPluginPath));
    EXPECT_FALSE(IsFinderPluginLoadable("/nonexistent/seekwell/seekwell-finder-gupnp.so"));
    EXPECT_FALSE(IsFinderPluginLoadable(""));
    // A source file is no shared object.
    EXPECT_FALSE(IsFinderPluginLoadable(__FILE__));

    IUPnPDeviceFinder* finder = reinterpret_cast<IUPnPDeviceFinder*>(this);
    EXPECT_LT(CreateDeviceFinderFromPlugin("/nonexistent/plugin.so", &finder), 0);
    EXPECT_EQ(finder, nullptr);
    // Loads, but exports no factory.
    EXPECT_LT(CreateDeviceFinderFromPlugin(kNoFactoryPath, &finder), 0);
    EXPECT_EQ(finder, nullptr);

    ASSERT_GE(CreateDeviceFinderFromPlugin(kPluginPath, &finder), 0);
    ASSERT_NE(finder, nullptr);
    EXPECT_EQ(finder->Release(), 0u);
}

TEST(FinderPluginTest, PluginPathIsBesideTheModuleHoldingTheCode) {
    // The tests link the finder code into their executable.
    const std::filesystem::path expected =
        std::filesystem::canonical("/proc/self/exe").parent_path() / "seekwell" / "seekwell-finder-gupnp.so";
    EXPECT_EQ(std::filesystem::weakly_canonical(FinderPluginPath()), expected);
}

// Runs in a child: the fake library stays loaded for the process's life.
TEST(FinderPluginDeathTest, OlderHttpLibraryInTheProcessKeepsThePluginClosed) {
    EXPECT_EXIT(
        {
            const bool bLoaded = dlopen(kFakeSoup2Path, RTLD_NOW | RTLD_LOCAL) != nullptr;
            IUPnPDeviceFinder* finder = nullptr;
            const bool bGuarded = IsConflictingHttpLibraryLoaded() && !IsFinderPluginLoadable(kPluginPath) &&
                                  CreateDeviceFinderFromPlugin(kPluginPath, &finder) < 0 && finder == nullptr;
            const bool bNeverOpened = !IsLoaded(kPluginPath) && !IsLoaded(kSoup3Library);
            std::_Exit(bLoaded && bGuarded && bNeverOpened ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

int CountEntries(const char* directory) {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
        ++n;
    }
    return n;
}

// Writes "search <elapsed ms> <threads> <descriptors>" and one line
// "name|url|description" per device found.
bool ReportSearch(IUPnPDeviceFinder* finder, FILE* report) {
    BSTR deviceType = SysAllocString("upnp:rootdevice");
    IUPnPDevices* devices = nullptr;
    const auto start = std::chrono::steady_clock::now();
    const HRESULT hr = finder->FindByType(deviceType, 0, &devices);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    SysFreeString(deviceType);
    if (hr < 0 || devices == nullptr) {
        return false;
    }
    std::fprintf(report, "search %lld %d %d\n",
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()),
                 CountEntries("/proc/self/task"), CountEntries("/proc/self/fd"));
    long count = 0;
    IUnknown* enumerable = nullptr;
    IEnumUnknown* enumerator = nullptr;
    devices->get_Count(&count);
    devices->get__NewEnum(&enumerable);
    enumerable->QueryInterface(IID_IEnumUnknown, reinterpret_cast<void**>(&enumerator));
    for (long i = 0; i < count; ++i) {
        IUnknown* element = nullptr;
        IUPnPDevice* device = nullptr;
        enumerator->Next(1, &element, nullptr);
        element->QueryInterface(IID_IUPnPDevice, reinterpret_cast<void**>(&device));
        BSTR texts[3] = {};
        device->get_FriendlyName(&texts[0]);
        device->get_PresentationURL(&texts[1]);
        device->get_Description(&texts[2]);
        std::fprintf(report, "%s|%s|%s\n", texts[0], texts[1], texts[2]);
        for (BSTR text : texts) {
            SysFreeString(text);
        }
        device->Release();
        element->Release();
    }
    enumerator->Release();
    enumerable->Release();
    devices->Release();
    return true;
}

struct SearchReport {
    long long nElapsedMs = 0;
    int nThreads = 0;
    int nDescriptors = 0;
    std::vector<std::string> devices;
};

std::vector<SearchReport> ParseReports(const std::string& output) {
    std::vector<SearchReport> reports;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("search ", 0) == 0) {
            reports.emplace_back();
            std::istringstream(line.substr(7)) >> reports.back().nElapsedMs >> reports.back().nThreads >>
                reports.back().nDescriptors;
        } else if (!reports.empty()) {
            reports.back().devices.push_back(line);
        }
    }
    return reports;
}

// The real group, port and window, so only ever inside a private namespace.
TEST(FinderPluginNetworkTest, FindsDevicesWhoseDescriptionWasFetchedTwiceInARow) {
    const ChildOutcome outcome = RunInPrivateNetwork(
        MixedTestDevices(),
        [](FILE* report) {
            // Descriptions must be fetched directly, whatever proxy the host names.
            setenv("http_proxy", "http://192.0.2.99:3128", 1);
            setenv("HTTP_PROXY", "http://192.0.2.99:3128", 1);
            IUPnPDeviceFinder* finder = nullptr;
            if (CreateDeviceFinderFromPlugin(kPluginPath, &finder) < 0) {
                return 1;
            }
            const bool bSearched = ReportSearch(finder, report) && ReportSearch(finder, report);
            finder->Release();
            return bSearched && LeakCheckPasses() ? 0 : 1;
        },
        std::chrono::seconds(60));
    if (!outcome.strSkipReason.empty()) {
        GTEST_SKIP() << outcome.strSkipReason;
    }
    ASSERT_TRUE(outcome.bExitedInTime) << outcome.strOutput;
    ASSERT_EQ(outcome.nExitCode, 0) << outcome.strOutput;
    const std::vector<SearchReport> reports = ParseReports(outcome.strOutput);
    ASSERT_EQ(reports.size(), 2u) << outcome.strOutput;
    for (SearchReport report : reports) {
        EXPECT_GE(report.nElapsedMs, 10000);
        EXPECT_LT(report.nElapsedMs, 11000);
        // Availability order depends on when each fetch finished.
        std::sort(report.devices.begin(), report.devices.end());
        EXPECT_EQ(report.devices, (std::vector<std::string>{
                                      "Printer|http://192.0.2.20/|A printer",
                                      "Robot one|http://192.0.2.10/index.html|ROVA robot",
                                      "Robot three|http://192.0.2.12/|ROVA robot",
                                      "Robot two|http://192.0.2.11:8080/app/|ROVA robot",
                                      "Robot without page||ROVA robot",
                                  }));
    }
    // Nothing of the first search is left running or open.
    EXPECT_EQ(reports[1].nThreads, reports[0].nThreads);
    EXPECT_EQ(reports[1].nDescriptors, reports[0].nDescriptors);
}

}  // namespace
}  // namespace seekwell::test
