#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>
#include <seekwell/seekwell.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr char kLibrary[] = SEEKWELL_LIBRARY_PATH;  // the real file, libseekwell.so.2.0.1080

std::string Tool(const std::string& tool)
{
    std::string output;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((tool + " '" + kLibrary + "' 2>&1").c_str(), "r"), pclose);
    char chunk[4096];
    while (std::size_t n = pipe ? std::fread(chunk, 1, sizeof chunk, pipe.get()) : 0) {
        output.append(chunk, n);
    }
    return output;
}

TEST(SharedLibrary, OneExportSonameNodeleteAndVersionNote)
{
    EXPECT_EQ(Tool("nm -D --defined-only").substr(16), " T DiscoveryROVAByUPnP\n");
    const std::string dynamic = Tool("readelf -d");
    EXPECT_NE(dynamic.find("Library soname: [libseekwell.so.2]"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("NODELETE"), std::string::npos) << dynamic;
    const std::string record =
        "{\"Comments\":\"\",\"CompanyName\":\"\",\"FileDescription\":\"Seekwell DLL\",\"FileVersion\":"
        "\"2.00.01080\",\"InternalName\":\"Seekwell\",\"LegalTrademarks\":\"\",\"OriginalFilename\":"
        "\"Seekwell.DLL\",\"PrivateBuild\":\"\",\"ProductName\":\"Seekwell ";
    const std::string tail = "\",\"ProductVersion\":\"2.00.01080\",\"SpecialBuild\":\"\"}";
    const std::string expected =
        "Packaging Metadata: {\"type\":\"deb\",\"os\":\"debian\",\"name\":\"libseekwell2\",\"version\":"
        "\"2.00.01080\",\"FileVersionNumber\":\"2.0.0.1080\",\"ProductVersionNumber\":\"2.0.0.1080\","
        "\"StringFileInfo\":{\"1033\":" + record + "Dynamic Link Library" + tail + ",\"1041\":" + record +
        "ダイナミック リンク ライブラリ" + tail + "}}\n";
    const std::string notes = Tool("readelf -n");
    EXPECT_NE(notes.find(expected), std::string::npos) << notes;
}

TEST(SharedLibrary, LoadsAndUnloadsRepeatedly)
{
    for (int i = 0; i < 25; ++i) {
        void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        EXPECT_NE(dlsym(handle, "DiscoveryROVAByUPnP"), nullptr);
        EXPECT_EQ(dlclose(handle), 0);
    }
}

// The call keeps cancellation off while it runs and gives the caller back the
// cancel state it came with (no network: a null array is refused at once).
TEST(SharedLibrary, CallGivesBackTheCallersCancelState)
{
    void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const auto discover = reinterpret_cast<int (*)(DISCOVERY_RESULT*)>(dlsym(handle, "DiscoveryROVAByUPnP"));
    ASSERT_NE(discover, nullptr);
    int original = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &original);
    for (const int state : {PTHREAD_CANCEL_ENABLE, PTHREAD_CANCEL_DISABLE}) {
        pthread_setcancelstate(state, nullptr);
        EXPECT_EQ(discover(nullptr), -1);
        int after = -1;
        pthread_setcancelstate(original, &after);
        EXPECT_EQ(after, state);
    }
    dlclose(handle);
}

}  // namespace
