#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <seekwell/seekwell.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kLibrary[] = SEEKWELL_LIBRARY_PATH;  // the real file, libseekwell.so.2.1.0

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

TEST(SharedLibrary, ExportsSonameNodeleteAndVersionNote)
{
    // The blocking call in the first symbol version; the live search with its check of targets, the
    // blocking call's path and the version in the second.
    EXPECT_EQ(Tool("nm -D --defined-only --format=just-symbols"),
              "DiscoveryROVAByUPnP@@SEEKWELL_2.0\nSEEKWELL_2.0\nSEEKWELL_2.1\n"
              "seekwell_blocking_search_path@@SEEKWELL_2.1\nseekwell_check_targets@@SEEKWELL_2.1\n"
              "seekwell_search_cancel@@SEEKWELL_2.1\n"
              "seekwell_search_dispatch@@SEEKWELL_2.1\nseekwell_search_fd@@SEEKWELL_2.1\n"
              "seekwell_search_free@@SEEKWELL_2.1\n"
              "seekwell_search_start@@SEEKWELL_2.1\nseekwell_search_wait@@SEEKWELL_2.1\n"
              "seekwell_version@@SEEKWELL_2.1\n");
    const std::string dynamic = Tool("readelf -d");
    EXPECT_NE(dynamic.find("Library soname: [libseekwell.so.2]"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("NODELETE"), std::string::npos) << dynamic;
    const std::string record =
        "{\"Comments\":\"\",\"CompanyName\":\"\",\"FileDescription\":\"Seekwell "
        "DLL\",\"FileVersion\":"
        "\"2.00.01080\",\"InternalName\":\"Seekwell\",\"LegalTrademarks\":\"\","
        "\"OriginalFilename\":"
        "\"Seekwell.DLL\",\"PrivateBuild\":\"\",\"ProductName\":\"Seekwell ";
    const std::string tail = "\",\"ProductVersion\":\"2.00.01080\",\"SpecialBuild\":\"\"}";
    const std::string expected =
        "Packaging Metadata: "
        "{\"type\":\"deb\",\"os\":\"debian\",\"name\":\"libseekwell2\",\"version\":"
        "\"" SEEKWELL_VERSION_TEXT
        "\",\"FileVersionNumber\":\"2.0.0.1080\",\"ProductVersionNumber\":\"2.0.0."
        "1080\","
        "\"StringFileInfo\":{\"1033\":" +
        record + "Dynamic Link Library" + tail + ",\"1041\":" + record + "ダイナミック リンク ライブラリ" + tail +
        "}}\n";
    const std::string notes = Tool("readelf -n");
    EXPECT_NE(notes.find(expected), std::string::npos) << notes;
}

// The descriptors of the notes with this owner and type in the loaded library's note segments.
std::vector<std::string> LoadedNotes(const char* owner, ElfW(Word) type)
{
    struct Search {
        std::string owner;
        ElfW(Word) type;
        std::vector<std::string> found;
    } search{owner, type, {}};
    void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* search = static_cast<Search*>(data);
            if (std::string(info->dlpi_name) != kLibrary) {
                return 0;
            }
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                const char* note = reinterpret_cast<const char*>(info->dlpi_addr + segment.p_vaddr);
                for (ElfW(Word) at = 0; segment.p_type == PT_NOTE && at < segment.p_memsz;) {
                    const auto* header = reinterpret_cast<const ElfW(Nhdr)*>(note + at);
                    const char* name = note + at + sizeof *header;
                    const char* desc = name + ((header->n_namesz + 3) & ~3u);
                    if (header->n_type == search->type && search->owner == name) {
                        search->found.emplace_back(desc);
                    }
                    at += sizeof *header + ((header->n_namesz + 3) & ~3u) + ((header->n_descsz + 3) & ~3u);
                }
            }
            return 1;
        },
        &search);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return search.found;
}

// libcurl is not linked, only loaded by the first search; packaging tools learn of it from the
// dlopen note.
TEST(SharedLibrary, DeclaresLibcurlInItsDlopenNoteInsteadOfLinkingIt)
{
    const std::string dynamic = Tool("readelf -d");
    EXPECT_EQ(dynamic.find("curl"), std::string::npos) << dynamic;
    constexpr ElfW(Word) kDlopenNoteType = 0x407c0c0a;
    const std::vector<std::string> expected = {
        "[{\"feature\":\"description-fetch\",\"description\":\"HTTP fetch of each responder's "
        "description in the built-in "
        "search\",\"priority\":\"required\",\"soname\":[\"" SEEKWELL_LIBCURL_SONAME "\"]}]"};
    EXPECT_EQ(LoadedNotes("FDO", kDlopenNoteType), expected);
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

struct PathQuery {
    int (*ask)();
    int answer;
};

// Asks with a cancel of its own thread already pending.
void* AskWithACancelPending(void* data)
{
    auto* query = static_cast<PathQuery*>(data);
    pthread_cancel(pthread_self());
    query->answer = query->ask();
    pthread_testcancel();
    return nullptr;
}

// The path query starts the finder helper beside this build's library and waits for it (its
// waits are cancellation points): a cancel pending at the call acts only once it has answered.
TEST(SharedLibrary, PathQueryAnswersBeforeAPendingCancelActs)
{
    void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    PathQuery query{reinterpret_cast<int (*)()>(dlsym(handle, "seekwell_blocking_search_path")), -1};
    ASSERT_NE(query.ask, nullptr);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, AskWithACancelPending, &query), 0);
    void* ended = nullptr;
    pthread_join(thread, &ended);
    EXPECT_EQ(ended, PTHREAD_CANCELED);
    EXPECT_EQ(query.answer, SEEKWELL_PATH_FINDER);
    dlclose(handle);
}

}  // namespace
