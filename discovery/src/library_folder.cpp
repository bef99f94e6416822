#include "library_folder.h"

#include <dlfcn.h>

#include <climits>
#include <cstdlib>

namespace seekwell {

namespace {

std::string FolderPart(const std::string& path)
{
    const std::size_t lastSlash = path.rfind('/');
    if (lastSlash == std::string::npos) {
        return std::string();
    }
    return lastSlash == 0 ? std::string("/") : path.substr(0, lastSlash);
}

std::string ResolveLibraryFolder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ResolveLibraryFolder), &info) == 0) {
        return std::string();
    }
    return AbsoluteFolderOf(info.dli_fname);
}

// Resolved during the load, while the working directory is still the one the
// dynamic loader resolved a relative name against.
const std::string g_libraryFolder = ResolveLibraryFolder();

}  // namespace

std::string AbsoluteFolderOf(const char* fileName)
{
    if (fileName == nullptr || fileName[0] == '\0') {
        return std::string();
    }
    if (fileName[0] == '/') {
        return FolderPart(fileName);
    }
    char resolved[PATH_MAX];
    return realpath(fileName, resolved) != nullptr ? FolderPart(resolved) : std::string();
}

const std::string& LibraryFolder() { return g_libraryFolder; }

}  // namespace seekwell
