#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "finder/platform/finder_plugin.h"

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

}  // namespace
}  // namespace seekwell::test
