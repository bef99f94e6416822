#include "library_folder.h"

#include <dlfcn.h>
#include <link.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace seekwell {

namespace {

// Filled while the library loads, with plain C string work: a host that never
// searches pays for no code it would not otherwise run.
char g_libraryFolder[PATH_MAX];

// Copies the folder part of an absolute path into folder; false when there is
// none or it does not fit.
bool CopyFolderPart(const char* path, char (&folder)[PATH_MAX])
{
    const char* const lastSlash = std::strrchr(path, '/');
    if (path[0] != '/' || lastSlash == nullptr) {
        return false;
    }
    const std::size_t length = lastSlash == path ? 1 : static_cast<std::size_t>(lastSlash - path);
    if (length >= PATH_MAX) {
        return false;
    }
    std::memcpy(folder, path, length);
    folder[length] = '\0';
    return true;
}

// Resolves fileName (absolute, or relative to the working directory) into
// the folder part of an absolute path; false when it cannot be resolved.
bool ResolveFolder(const char* fileName, char (&folder)[PATH_MAX])
{
    if (fileName == nullptr || fileName[0] == '\0') {
        return false;
    }
    if (fileName[0] == '/') {
        return CopyFolderPart(fileName, folder);
    }
    char resolved[PATH_MAX];
    return realpath(fileName, resolved) != nullptr && CopyFolderPart(resolved, folder);
}

// The name the dynamic loader gave this module: found by walking its list of
// loaded objects for the one whose dynamic section is ours, which touches
// nothing that is not already in memory; dladdr only where the module is not
// in that list (one opened with dlmopen).
const char* ModuleFileName()
{
    for (const link_map* module = _r_debug.r_map; module != nullptr; module = module->l_next) {
        if (module->l_ld == _DYNAMIC) {
            return module->l_name;
        }
    }
    Dl_info info{};
    return dladdr(reinterpret_cast<void*>(&ModuleFileName), &info) != 0 ? info.dli_fname : nullptr;
}

// Resolved during the load, while the working directory is still the one the
// dynamic loader resolved a relative name against.
class LibraryFolderAtLoad {
public:
    LibraryFolderAtLoad()
    {
        if (!ResolveFolder(ModuleFileName(), g_libraryFolder)) {
            g_libraryFolder[0] = '\0';
        }
    }
};
const LibraryFolderAtLoad kLibraryFolderAtLoad;

}  // namespace

std::string LibraryFolder() { return g_libraryFolder; }

}  // namespace seekwell
