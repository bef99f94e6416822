// Checks of the built library file itself: its exported symbols, its name and
// SONAME, and the version record note.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string OutputOf(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        output.append(chunk, n);
    }
    EXPECT_EQ(0, pclose(pipe)) << command;
    return output;
}

// The JSON of the package note, as readelf shows it.
std::string PackageNote()
{
    const std::string notes = OutputOf("readelf -n --wide '" KINEMAP_LIBRARY_FILE "'");
    const std::string label = "Packaging Metadata: ";
    const size_t start = notes.find(label);
    if (start == std::string::npos) {
        return "";
    }
    EXPECT_NE(std::string::npos, notes.rfind("FDO", start));
    return notes.substr(start + label.size(), notes.find('\n', start) - start - label.size());
}

std::string LanguageBlock(const std::string& json, const std::string& language)
{
    const size_t start = json.find("\"" + language + "\":{");
    if (start == std::string::npos) {
        return "";
    }
    return json.substr(start, json.find('}', start) - start + 1);
}

// Demangled names of the library's dynamic symbols, without versions.
std::set<std::string> DynamicSymbols(const std::string& which)
{
    std::istringstream lines(OutputOf("nm -D -C " + which + " '" KINEMAP_LIBRARY_FILE "'"));
    std::set<std::string> names;
    for (std::string line; std::getline(lines, line);) {
        const std::string name = line.substr(19);  // after the address and type columns
        names.insert(name.substr(0, name.find('@')));
    }
    return names;
}

}  // namespace

TEST(LibraryFile, ExportsExactlyTheInterface)
{
    const std::set<std::string> expected = {
        "CKinemap::CKinemap(unsigned int)",
        "CKinemap::CKinemap(CKinemap const&)",
        "CKinemap::operator=(CKinemap const&)",
        "CKinemap::~CKinemap()",
        "CKinemap::GetJointArray(int*)",
        "CKinemap::GetSensorIDs(int*)",
        "CKinemap::GetSensorArray(int*)",
        "CKinemap::GetPrimitiveLocator(int, char*)",
        "CKinemap::GetRobotDesign(unsigned short*, int)",
        "vtable for CKinemap",
        "typeinfo for CKinemap",
        "typeinfo name for CKinemap",
        "KinemapLoadString",
        "KinemapGetString",
    };
    EXPECT_EQ(expected, DynamicSymbols("--defined-only"));
}

TEST(LibraryFile, ReferencesNoAllocator)
{
    // Only the deleting destructor may reach the allocator, to free a host's object.
    for (const std::string& name : DynamicSymbols("--undefined-only")) {
        for (const char* allocator : {"malloc", "calloc", "realloc", "strdup", "aligned_alloc"}) {
            EXPECT_NE(allocator, name);
        }
        EXPECT_NE(0u, name.rfind("operator new", 0)) << name;
        EXPECT_EQ(std::string::npos, name.find("std::")) << name;
    }
}

TEST(LibraryFile, RealFileNameAndSoname)
{
    const std::string path = KINEMAP_LIBRARY_FILE;
    EXPECT_EQ(KINEMAP_REAL_FILE_NAME, path.substr(path.rfind('/') + 1));
    const std::string dynamic = OutputOf("readelf -d '" KINEMAP_LIBRARY_FILE "'");
    EXPECT_NE(std::string::npos, dynamic.find("Library soname: [" KINEMAP_SONAME "]")) << dynamic;
    EXPECT_EQ(std::string::npos, dynamic.find("VERDEF")) << "no symbol versions expected";
}

TEST(LibraryFile, VersionRecordInBothLanguages)
{
    const std::string json = PackageNote();
    ASSERT_FALSE(json.empty());
    EXPECT_NE(std::string::npos, json.find("\"FileVersionNumber\":\"2.0.0.1080\""));
    EXPECT_NE(std::string::npos, json.find("\"version\":\"" KINEMAP_PACKAGE_VERSION "\""));
    for (const char* language : {"1033", "1041"}) {
        const std::string block = LanguageBlock(json, language);
        for (const char* entry : {"\"FileVersion\":\"2.00.01080\"", "\"ProductVersion\":\"2.00.01080\"",
                                  "\"FileDescription\":\"Kinemap DLL\"", "\"InternalName\":\"Kinemap\"",
                                  "\"OriginalFilename\":\"Kinemap.DLL\"", "\"CompanyName\":\"\"", "\"Comments\":\"\"",
                                  "\"SpecialBuild\":\"\""}) {
            EXPECT_NE(std::string::npos, block.find(entry)) << language << " " << entry;
        }
    }
    EXPECT_NE(std::string::npos, LanguageBlock(json, "1033").find("\"ProductName\":\"Kinemap Dynamic Link Library\""));
    EXPECT_NE(std::string::npos,
              LanguageBlock(json, "1041").find("\"ProductName\":\"Kinemap ダイナミック リンク ライブラリ\""));
}
