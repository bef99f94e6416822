#include "finder/seekwell_app.h"

#include "finder/device_text.h"
#include "finder/platform/finder_plugin.h"
#include "load_order.h"
#include "platform/heap_string.h"

namespace seekwell {

namespace {

constexpr DWORD kNoFindFlags = 0;

using PropertyGetter = HRESULT (IUPnPDevice::*)(BSTR*);

// Reads one text property; the finder's string is freed whatever happened.
bool ReadProperty(IUPnPDevice* pDevice, PropertyGetter getter, std::string& text)
{
    BSTR bstrValue = nullptr;
    const HRESULT hr = (pDevice->*getter)(&bstrValue);
    if (!Failed(hr)) {
        text = NarrowText(bstrValue);
    }
    SysFreeString(bstrValue);
    return !Failed(hr);
}

// A query that reports success but yields nothing counts as a failure.
template <class Interface>
bool Query(IUnknown* pObject, const IID& iid, Interface*& pResult)
{
    return !Failed(pObject->QueryInterface(iid, reinterpret_cast<void**>(&pResult))) &&
           pResult != nullptr;
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
    const HRESULT hrCreate = m_pfnCreateDeviceFinder(&m_pDeviceFinder);
    BSTR bstrDeviceType = m_pfnAllocSysString(strDeviceType.c_str());
    // A finder obtained here stays held until the next call releases it.
    if (Failed(hrCreate) || m_pDeviceFinder == nullptr || bstrDeviceType == nullptr) {
        SysFreeString(bstrDeviceType);
        return kNoSearch;
    }
    CollectDevices(bstrDeviceType);
    SysFreeString(bstrDeviceType);
    ReleaseInterface(m_pDeviceFinder);
    m_pDeviceFinder = nullptr;
    return CopyOut(results);
}

void CSeekwellApp::CollectDevices(BSTR bstrTypeURI)
{
    IUPnPDevices* pDevices = nullptr;
    if (Failed(m_pDeviceFinder->FindByType(bstrTypeURI, kNoFindFlags, &pDevices)) ||
        pDevices == nullptr) {
        ReleaseInterface(pDevices);
        return;
    }
    long nCount = 0;
    IUnknown* pEnumerable = nullptr;
    IEnumUnknown* pEnum = nullptr;
    if (!Failed(pDevices->get_Count(&nCount)) && nCount != 0 &&
        !Failed(pDevices->get__NewEnum(&pEnumerable)) && pEnumerable != nullptr &&
        Query(pEnumerable, IID_IEnumUnknown, pEnum)) {
        WalkDevices(pEnum, nCount);
    }
    ReleaseInterface(pEnum);
    ReleaseInterface(pEnumerable);
    ReleaseInterface(pDevices);
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
    IUnknown* pElement = nullptr;
    if (Failed(pEnum->Next(1, &pElement, nullptr)) || pElement == nullptr) {
        ReleaseInterface(pElement);
        return false;
    }
    IUPnPDevice* pDevice = nullptr;
    DeviceTexts texts;
    const bool bVisited =
        Query(pElement, IID_IUPnPDevice, pDevice) && ReadDeviceTexts(pDevice, texts);
    if (bVisited) {
        StoreIfRobot(texts, nStored);
    }
    ReleaseInterface(pDevice);
    ReleaseInterface(pElement);
    return bVisited;
}

bool CSeekwellApp::ReadDeviceTexts(IUPnPDevice* pDevice, DeviceTexts& texts)
{
    return ReadProperty(pDevice, &IUPnPDevice::get_FriendlyName, texts.strFriendlyName) &&
           ReadProperty(pDevice, &IUPnPDevice::get_PresentationURL, texts.strPresentationUrl) &&
           ReadProperty(pDevice, &IUPnPDevice::get_Description, texts.strDescription);
}

void CSeekwellApp::StoreIfRobot(const DeviceTexts& texts, int& nStored)
{
    if (texts.strDescription.find(kFinderRobotWord) == std::string::npos || nStored >= kMaxResults) {
        return;
    }
    m_astrFriendlyName[nStored] = texts.strFriendlyName;
    m_astrHost[nStored] = HostFromPresentationUrl(texts.strPresentationUrl);
    ++nStored;
}

int CSeekwellApp::CopyOut(DISCOVERY_RESULT* results) const
{
    int nWritten = 0;
    for (int i = 0; i < kMaxResults; ++i) {
        if (m_astrHost[i].empty()) {
            continue;
        }
        results[nWritten].pszName = platform::StrDupA(m_astrFriendlyName[i].c_str());
        results[nWritten].pszAddress = platform::StrDupA(m_astrHost[i].c_str());
        ++nWritten;
    }
    return nWritten;
}

}  // namespace seekwell
