#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr char kLibrary[] = SEEKWELL_LIBRARY_PATH;
constexpr int kLoadCycles = 25;

std::string CommandOutput(const std::string& command)
{
    std::string output;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return output;
    }
    char chunk[4096];
    while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe.get())) {
        output.append(chunk, n);
    }
    return output;
}

std::string Tool(const char* tool, const char* options)
{
    return CommandOutput(std::string(tool) + " " + options + " '" + kLibrary + "' 2>&1");
}

TEST(SharedLibrary, ExportsOnlyTheEntryPoint)
{
    const std::string symbols = Tool("nm", "-D --defined-only");
    EXPECT_NE(symbols.find(" T DiscoveryROVAByUPnP\n"), std::string::npos) << symbols;
    const std::size_t lines = std::count(symbols.begin(), symbols.end(), '\n');
    EXPECT_EQ(lines, 1u) << symbols;
}

TEST(SharedLibrary, SonameNodeleteAndVersionNote)
{
    const std::string dynamic = Tool("readelf", "-d");
    EXPECT_NE(dynamic.find("Library soname: [libseekwell.so.2]"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("NODELETE"), std::string::npos) << dynamic;
    EXPECT_NE(std::string(kLibrary).find("libseekwell.so.2.0.1080"), std::string::npos);

    const std::string notes = Tool("readelf", "-n");
    for (const char* text :
         {"\"name\":\"libseekwell2\"", "\"version\":\"2.00.01080\"",
          "\"FileVersionNumber\":\"2.0.0.1080\"", "\"ProductVersionNumber\":\"2.0.0.1080\"",
          "\"FileDescription\":\"Seekwell DLL\"", "\"OriginalFilename\":\"Seekwell.DLL\"",
          "\"ProductName\":\"Seekwell Dynamic Link Library\"",
          "\"1041\":{\"Comments\":\"\",\"CompanyName\":\"\",\"FileDescription\":\"Seekwell DLL\"",
          "\"ProductName\":\"Seekwell ダイナミック リンク ライブラリ\""}) {
        EXPECT_NE(notes.find(text), std::string::npos) << text << "\n" << notes;
    }
}

TEST(SharedLibrary, LoadsAndUnloadsRepeatedly)
{
    for (int i = 0; i < kLoadCycles; ++i) {
        void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        EXPECT_NE(dlsym(handle, "DiscoveryROVAByUPnP"), nullptr);
        EXPECT_EQ(dlsym(handle, "_ZN8seekwell14ProbeOsVersionEv"), nullptr);
        EXPECT_EQ(dlclose(handle), 0);
    }
}

}  // namespace
