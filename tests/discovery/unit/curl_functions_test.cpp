// Binding libcurl at run time: the libcurl the library was built for binds; files that are no
// libcurl, or not the right one, are refused, closed again and leave no dlerror message behind.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "fetch/curl_functions.h"

namespace seekwell::platform {
namespace {

constexpr char kOldLibcurl[] = OLD_LIBCURL_PATH;

bool IsMapped(const std::string& path)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.size() >= path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0) {
            return true;
        }
    }
    return false;
}

TEST(CurlFunctions, BindsTheLibcurlItWasBuiltForOnce)
{
    const CurlFunctions* curl = ReadyCurl();
    ASSERT_NE(curl, nullptr);
    EXPECT_EQ(ReadyCurl(), curl);
    const curl_version_info_data* info = curl->versionInfo(CURLVERSION_NOW);
    ASSERT_NE(info, nullptr);
    EXPECT_GE(info->version_num, static_cast<unsigned int>(SEEKWELL_LIBCURL_MIN_VERSION_NUM));

    CurlFunctions functions{};
    ASSERT_NE(BindCurl(SEEKWELL_LIBCURL_SONAME, SEEKWELL_LIBCURL_SYMBOL_VERSION, functions), nullptr);
    EXPECT_EQ(functions.easyPerform, curl->easyPerform);
    EXPECT_NE(functions.slistFreeAll, nullptr);
}

TEST(CurlFunctions, RefusesWhatIsNotTheRightLibcurl)
{
    const std::string notElf = ::testing::TempDir() + "seekwell-not-a-library.so.4";
    std::ofstream(notElf) << "not a shared object\n";
    struct Case {
        const char* what;
        std::string file;
        const char* symbolVersion;
    };
    const Case cases[] = {
        {"missing file", "libseekwell-no-such-curl.so.4", SEEKWELL_LIBCURL_SYMBOL_VERSION},
        {"not an ELF file", notElf, SEEKWELL_LIBCURL_SYMBOL_VERSION},
        {"library without curl's functions", "libm.so.6", ""},
        {"functions under another symbol version", SEEKWELL_LIBCURL_SONAME, "CURL_NO_SUCH_VERSION_4"},
        // Every one of its functions but the version query aborts.
        {"libcurl older than the fetch needs", kOldLibcurl, SEEKWELL_LIBCURL_SYMBOL_VERSION},
    };
    for (const Case& c : cases) {
        CurlFunctions functions{};
        EXPECT_EQ(BindCurl(c.file.c_str(), c.symbolVersion, functions), nullptr) << c.what;
        EXPECT_EQ(dlerror(), nullptr) << c.what;
    }
    EXPECT_FALSE(IsMapped(kOldLibcurl));
    std::remove(notElf.c_str());
}

}  // namespace
}  // namespace seekwell::platform
