#include "finder/seekwell_app.h"

#include <new>

#include "finder/device_text.h"
#include "finder/helper_device_finder.h"
#include "window_messages.h"

namespace seekwell {

namespace {

constexpr DWORD kNoFindFlags = 0;

using PropertyGetter = HRESULT (IUPnPDevice::*)(BSTR*);

// A finder string, freed when it goes out of scope, also when memory ran out
// while it was held.
class OwnedBstr {
public:
    OwnedBstr() = default;
    explicit OwnedBstr(BSTR bstr) : bstr_(bstr) {}
    ~OwnedBstr() { SysFreeString(bstr_); }
    OwnedBstr(const OwnedBstr&) = delete;
    OwnedBstr& operator=(const OwnedBstr&) = delete;

    BSTR Get() const { return bstr_; }
    BSTR* Out() { return &bstr_; }

private:
    BSTR bstr_ = nullptr;
};

// A reference handed out by the finder, released through the application
// object when it goes out of scope. References held together are declared in
// the reverse of the order in which they are to be released.
template <class Interface>
class HeldInterface {
public:
    explicit HeldInterface(CSeekwellApp& app) : app_(app) {}
    ~HeldInterface() { app_.ReleaseInterface(interface_); }
    HeldInterface(const HeldInterface&) = delete;
    HeldInterface& operator=(const HeldInterface&) = delete;

    Interface* Get() const { return interface_; }
    Interface** Out() { return &interface_; }
    Interface* operator->() const { return interface_; }

private:
    CSeekwellApp& app_;
    Interface* interface_ = nullptr;
};

// Reads one text property; the finder's string is freed whatever happened.
bool ReadProperty(IUPnPDevice* device, PropertyGetter getter, std::string& text,
                  std::string (*narrow)(const char*) = NarrowText)
{
    OwnedBstr value;
    const HRESULT hr = (device->*getter)(value.Out());
    if (!Failed(hr)) {
        text = narrow(value.Get());
    }
    return !Failed(hr);
}

// A query that reports success but yields nothing counts as a failure.
template <class Interface>
bool Query(IUnknown* object, const IID& iid, Interface*& result)
{
    return !Failed(object->QueryInterface(iid, reinterpret_cast<void**>(&result))) && result != nullptr;
}

}  // namespace

CSeekwellApp theApp __attribute__((init_priority(SEEKWELL_INIT_PRIORITY_APP)));

CSeekwellApp::CSeekwellApp() : CSeekwellApp(&CreateDeviceFinder, &SysAllocString) {}

CSeekwellApp::CSeekwellApp(CreateDeviceFinderFn createDeviceFinder, AllocSysStringFn allocSysString)
    : m_pfnCreateDeviceFinder(createDeviceFinder), m_pfnAllocSysString(allocSysString)
{
}

int CSeekwellApp::DiscoverByDeviceFinder(DISCOVERY_RESULT* results)
{
    EmptySlots();
    const std::string strDeviceType = kFinderDeviceType;
    ReleaseInterface(m_pDeviceFinder);
    m_pDeviceFinder = nullptr;
    const HRESULT hrCreate = MakeDeviceFinder();
    const OwnedBstr bstrDeviceType(m_pfnAllocSysString(strDeviceType.c_str()));
    // A finder obtained here stays held until the next call releases it.
    if (Failed(hrCreate) || m_pDeviceFinder == nullptr || bstrDeviceType.Get() == nullptr) {
        return kNoSearch;
    }
    CollectDevices(bstrDeviceType.Get());
    ReleaseInterface(m_pDeviceFinder);
    m_pDeviceFinder = nullptr;
    return CopyOut(results);
}

// Memory running out counts as the finder failing: no finder.
HRESULT CSeekwellApp::MakeDeviceFinder()
{
    try {
        return m_pfnCreateDeviceFinder(&m_pDeviceFinder);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// Memory running out ends the search like a failed step: what was stored so
// far stays, and every reference obtained is released in the usual order.
void CSeekwellApp::CollectDevices(BSTR bstrTypeURI)
{
    HeldInterface<IUPnPDevices> pDevices(*this);
    HeldInterface<IUnknown> pEnumerable(*this);
    HeldInterface<IEnumUnknown> pEnum(*this);
    try {
        long nCount = 0;
        if (!Failed(m_pDeviceFinder->FindByType(bstrTypeURI, kNoFindFlags, pDevices.Out())) &&
            pDevices.Get() != nullptr && !Failed(pDevices->get_Count(&nCount)) && nCount != 0 &&
            !Failed(pDevices->get__NewEnum(pEnumerable.Out())) && pEnumerable.Get() != nullptr &&
            Query(pEnumerable.Get(), IID_IEnumUnknown, *pEnum.Out())) {
            WalkDevices(pEnum.Get(), nCount);
        }
    } catch (const std::bad_alloc&) {
    }
}

void CSeekwellApp::ReleaseInterface(IUnknown* pInterface)
{
    if (pInterface != nullptr) {
        pInterface->Release();
    }
}

void CSeekwellApp::EmptySlots()
{
    for (int i = 0; i < kMaxResults; ++i) {
        m_astrFriendlyName[i].clear();
        m_astrHost[i].clear();
    }
}

void CSeekwellApp::WalkDevices(IEnumUnknown* pEnum, long nCount)
{
    int nStored = 0;
    for (long i = 0; i < nCount; ++i) {
        if (!VisitNextDevice(pEnum, nStored)) {
            return;
        }
    }
}

bool CSeekwellApp::VisitNextDevice(IEnumUnknown* pEnum, int& nStored)
{
    HeldInterface<IUnknown> pElement(*this);
    if (Failed(pEnum->Next(1, pElement.Out(), nullptr)) || pElement.Get() == nullptr) {
        return false;
    }
    HeldInterface<IUPnPDevice> pDevice(*this);
    DeviceTexts texts;
    const bool bVisited =
        Query(pElement.Get(), IID_IUPnPDevice, *pDevice.Out()) && ReadDeviceTexts(pDevice.Get(), texts);
    if (bVisited) {
        StoreIfRobot(texts, nStored);
    }
    return bVisited;
}

bool CSeekwellApp::ReadDeviceTexts(IUPnPDevice* pDevice, DeviceTexts& texts)
{
    return ReadProperty(pDevice, &IUPnPDevice::get_FriendlyName, texts.friendlyName, NarrowName) &&
           ReadProperty(pDevice, &IUPnPDevice::get_PresentationURL, texts.presentationUrl) &&
           ReadProperty(pDevice, &IUPnPDevice::get_Description, texts.description);
}

void CSeekwellApp::StoreIfRobot(const DeviceTexts& texts, int& nStored)
{
    if (texts.description.find(kFinderRobotWord) == std::string::npos || nStored >= kMaxResults) {
        return;
    }
    // Both texts are made before the slot is touched: a slot is filled whole
    // or not at all.
    std::string strHost = HostFromPresentationUrl(texts.presentationUrl);
    std::string strFriendlyName = texts.friendlyName;
    m_astrFriendlyName[nStored].swap(strFriendlyName);
    m_astrHost[nStored].swap(strHost);
    ++nStored;
}

int CSeekwellApp::CopyOut(DISCOVERY_RESULT* results) const
{
    int nWritten = 0;
    for (int i = 0; i < kMaxResults; ++i) {
        if (m_astrHost[i].empty()) {
            continue;
        }
        results[nWritten].pszName = strdup(m_astrFriendlyName[i].c_str());
        results[nWritten].pszAddress = strdup(m_astrHost[i].c_str());
        ++nWritten;
    }
    return nWritten;
}

}  // namespace seekwell
