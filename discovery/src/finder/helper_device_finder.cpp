#include "finder/helper_device_finder.h"

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <new>

#include "finder/com_object.h"
#include "finder/device_collection.h"
#include "finder/helper_process.h"
#include "finder_wire.h"
#include "search_constants.h"

namespace seekwell {

namespace {

namespace hp = finder_wire;

std::string DirectoryOf(const std::string& path)
{
    const std::size_t lastSlash = path.rfind('/');
    return lastSlash == std::string::npos ? std::string(".") : path.substr(0, lastSlash);
}

// The library never queries the finder itself.
class HelperDeviceFinder final : public ComObject<IUPnPDeviceFinder> {
public:
    explicit HelperDeviceFinder(std::string helperPath) : ComObject(nullptr), helper_path_(std::move(helperPath)) {}

    // Whatever goes wrong in the helper, the search fails as a whole.
    HRESULT FindByType(BSTR bstrTypeURI, DWORD /*dwFlags*/, IUPnPDevices** pDevices) override
    {
        if (bstrTypeURI == nullptr || pDevices == nullptr) {
            return E_POINTER;
        }
        *pDevices = nullptr;
        const HelperRequest request{helper_path_,
                                    {hp::kSearchArgument, bstrTypeURI, std::to_string(kSearchWindowMs)},
                                    std::chrono::milliseconds(kSearchWindowMs + kFinderHelperGraceMs)};
        HelperStreamReader reader;
        if (!RunFinderHelper(request, reader)) {
            return E_FAIL;
        }
        *pDevices = NewDeviceCollection(reader.TakeDevices());
        return *pDevices != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::string helper_path_;
};

}  // namespace

std::string FinderHelperPath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&FinderHelperPath), &info) == 0 || info.dli_fname == nullptr) {
        return std::string();
    }
    return DirectoryOf(info.dli_fname) + "/" + hp::kHelperRelativePath;
}

bool IsFinderHelperUsable(const std::string& helperPath)
{
    // Where no helper is installed, no child is started to find that out.
    if (helperPath.empty() || access(helperPath.c_str(), X_OK) != 0) {
        return false;
    }
    try {
        const HelperRequest request{helperPath, {hp::kProbeArgument}, std::chrono::milliseconds(kFinderProbeLimitMs)};
        HelperStreamReader reader;
        return RunFinderHelper(request, reader);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

HRESULT CreateHelperDeviceFinder(const std::string& helperPath, IUPnPDeviceFinder** ppFinder)
{
    try {
        *ppFinder = new HelperDeviceFinder(helperPath);
        return S_OK;
    } catch (const std::bad_alloc&) {
        *ppFinder = nullptr;
        return E_OUTOFMEMORY;
    }
}

HRESULT CreateDeviceFinder(IUPnPDeviceFinder** ppFinder)
{
    return CreateHelperDeviceFinder(FinderHelperPath(), ppFinder);
}

}  // namespace seekwell
