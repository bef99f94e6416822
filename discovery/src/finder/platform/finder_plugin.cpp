#include "finder/platform/finder_plugin.h"

#include <dlfcn.h>

#include "finder/platform/finder_plugin_abi.h"

namespace seekwell {

namespace {

constexpr const char kConflictingHttpLibrary[] = "libsoup-2.4.so.1";
constexpr HRESULT kClassNotRegistered = static_cast<HRESULT>(0x80040154u);

std::string DirectoryOf(const std::string& path)
{
    const std::size_t lastSlash = path.rfind('/');
    return lastSlash == std::string::npos ? std::string(".") : path.substr(0, lastSlash);
}

}  // namespace

std::string FinderPluginPath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&FinderPluginPath), &info) == 0 || info.dli_fname == nullptr) {
        return std::string();
    }
    return DirectoryOf(info.dli_fname) + "/" + kFinderPluginRelativePath;
}

bool IsConflictingHttpLibraryLoaded()
{
    void* handle = dlopen(kConflictingHttpLibrary, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);  // drops only the reference RTLD_NOLOAD added
    return true;
}

bool IsFinderPluginLoadable(const std::string& pluginPath)
{
    if (pluginPath.empty() || IsConflictingHttpLibraryLoaded()) {
        return false;
    }
    void* handle = dlopen(pluginPath.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

HRESULT CreateDeviceFinderFromPlugin(const std::string& pluginPath, IUPnPDeviceFinder** ppFinder)
{
    *ppFinder = nullptr;
    if (pluginPath.empty() || IsConflictingHttpLibraryLoaded()) {
        return kClassNotRegistered;
    }
    // Kept loaded for the life of the process: the UPnP stack registers
    // types with its object system that cannot be unregistered.
    void* handle = dlopen(pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
        return kClassNotRegistered;
    }
    const auto factory =
        reinterpret_cast<SeekwellCreateDeviceFinderFn>(dlsym(handle, kFinderFactorySymbol));
    const HRESULT hr = factory != nullptr ? factory(ppFinder) : kClassNotRegistered;
    dlclose(handle);  // RTLD_NODELETE keeps the code mapped for the finder
    if (Failed(hr) || *ppFinder == nullptr) {
        *ppFinder = nullptr;
        return Failed(hr) ? hr : E_FAIL;
    }
    return hr;
}

HRESULT CreateDeviceFinder(IUPnPDeviceFinder** ppFinder)
{
    return CreateDeviceFinderFromPlugin(FinderPluginPath(), ppFinder);
}

}  // namespace seekwell
