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
    : folder_(ScratchFolder()), path_(folder_ + "/" + fs::path(builtLibrary).filename().string())
{
    fs::copy_file(builtLibrary, path_);
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    discover_ = handle_ ? reinterpret_cast<DiscoveryExport>(dlsym(handle_, "DiscoveryROVAByUPnP")) : nullptr;
    if (discover_ == nullptr) {
        throw std::runtime_error("cannot load the copied library: " + path_);
    }
}

LoneLibrary::~LoneLibrary()
{
    dlclose(handle_);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

}  // namespace seekwell::test
