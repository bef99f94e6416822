// The plugin's device finder and its one export, the factory.
#include <new>
#include <type_traits>

#include "com_object.h"
#include "device_collection.h"
#include "finder/platform/finder_plugin_abi.h"
#include "gupnp_search.h"
#include "search_constants.h"

namespace seekwell {

namespace {

// The library never queries the finder itself.
class GupnpDeviceFinder final : public ComObject<IUPnPDeviceFinder> {
public:
    GupnpDeviceFinder() : ComObject(nullptr) {}

    HRESULT FindByType(BSTR bstrTypeURI, DWORD /*dwFlags*/, IUPnPDevices** pDevices) override
    {
        if (bstrTypeURI == nullptr || pDevices == nullptr) {
            return E_POINTER;
        }
        *pDevices = nullptr;
        DeviceList devices;
        if (!SearchDevices(bstrTypeURI, std::chrono::milliseconds(kSearchWindowMs), devices)) {
            return E_FAIL;
        }
        *pDevices = NewDeviceCollection(std::move(devices));
        return *pDevices != nullptr ? S_OK : E_OUTOFMEMORY;
    }
};

}  // namespace

}  // namespace seekwell

extern "C" __attribute__((visibility("default"))) seekwell::HRESULT SeekwellCreateDeviceFinder(
    seekwell::IUPnPDeviceFinder** ppFinder)
{
    if (ppFinder == nullptr) {
        return seekwell::E_POINTER;
    }
    *ppFinder = new (std::nothrow) seekwell::GupnpDeviceFinder();
    return *ppFinder != nullptr ? seekwell::S_OK : seekwell::E_OUTOFMEMORY;
}

static_assert(std::is_same_v<decltype(&SeekwellCreateDeviceFinder), SeekwellCreateDeviceFinderFn>,
              "the factory must have the type the library calls it through");
