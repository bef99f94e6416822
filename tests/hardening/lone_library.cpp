#include "lone_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace seekwell::test {

namespace fs = std::filesystem;

namespace {

std::string ScratchFolder()
{
    std::string pattern = (fs::temp_directory_path() / "seekwell-lone-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a scratch folder");
    }
    return pattern;
}

}  // namespace

LoneLibrary::LoneLibrary(const std::string& builtLibrary)
    : m_Folder(ScratchFolder()), m_Path(m_Folder + "/" + fs::path(builtLibrary).filename().string())
{
    fs::copy_file(builtLibrary, m_Path);
    m_Handle = dlopen(m_Path.c_str(), RTLD_NOW | RTLD_LOCAL);
    m_Discover = m_Handle ? reinterpret_cast<DiscoveryExport>(dlsym(m_Handle, "DiscoveryROVAByUPnP")) : nullptr;
    if (m_Discover == nullptr) {
        throw std::runtime_error("cannot load the copied library: " + m_Path);
    }
}

LoneLibrary::~LoneLibrary()
{
    dlclose(m_Handle);
    std::error_code ignored;
    fs::remove_all(m_Folder, ignored);
}

}  // namespace seekwell::test
