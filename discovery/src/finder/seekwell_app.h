// The library's one application object: runs the search through the
// platform's UPnP device finder and keeps what it found in 16 slots.
#ifndef SEEKWELL_FINDER_SEEKWELL_APP_H
#define SEEKWELL_FINDER_SEEKWELL_APP_H

#include <string>

#include "finder/upnp_interfaces.h"
#include "search_constants.h"
#include "seekwell/seekwell.h"

namespace seekwell {

class CSeekwellApp {
public:
    // Stand-ins for creating the finder and for converting the device type
    // into the finder's string form.
    using CreateDeviceFinderFn = HRESULT (*)(IUPnPDeviceFinder** ppFinder);
    using AllocSysStringFn = BSTR (*)(const char* text);

    // The product's object: the finder searches through the helper.
    CSeekwellApp();
    CSeekwellApp(CreateDeviceFinderFn createDeviceFinder, AllocSysStringFn allocSysString);
    CSeekwellApp(const CSeekwellApp&) = delete;
    CSeekwellApp& operator=(const CSeekwellApp&) = delete;
    // Leaves m_pDeviceFinder alone: at unload the finder's code may already
    // be unusable.
    ~CSeekwellApp() = default;

    // Records written (0..16), or -1 when the finder cannot be created or the
    // device type cannot be converted; the array is untouched then.
    int DiscoverByDeviceFinder(DISCOVERY_RESULT* results);
    // Runs the search for bstrTypeURI with m_pDeviceFinder and fills the slots.
    void CollectDevices(BSTR bstrTypeURI);
    void ReleaseInterface(IUnknown* pInterface);

    IUPnPDeviceFinder* m_pDeviceFinder = nullptr;
    std::string m_astrHost[kMaxResults];
    std::string m_astrFriendlyName[kMaxResults];

private:
    struct DeviceTexts {
        std::string friendlyName;
        std::string presentationUrl;
        std::string description;
    };

    HRESULT MakeDeviceFinder();
    void EmptySlots();
    void WalkDevices(IEnumUnknown* pEnum, long nCount);
    // False when the walk has to end at this device.
    bool VisitNextDevice(IEnumUnknown* pEnum, int& nStored);
    bool ReadDeviceTexts(IUPnPDevice* pDevice, DeviceTexts& texts);
    void StoreIfRobot(const DeviceTexts& texts, int& nStored);
    int CopyOut(DISCOVERY_RESULT* results) const;

    CreateDeviceFinderFn m_pfnCreateDeviceFinder;
    AllocSysStringFn m_pfnAllocSysString;
};

// Constructed at load, after the window-message registrations.
extern CSeekwellApp theApp;

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_SEEKWELL_APP_H
