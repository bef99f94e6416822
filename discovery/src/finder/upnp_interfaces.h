// The device-finder object model the finder path talks to: reference-counted
// interfaces in the platform's component style, reduced to the calls the
// discovery makes. The helper-backed finder implements them; texts cross them as
// UTF-8 strings allocated with SysAllocString (finder/bstr.h).
#ifndef SEEKWELL_FINDER_UPNP_INTERFACES_H
#define SEEKWELL_FINDER_UPNP_INTERFACES_H

#include <cstdint>
#include <cstring>

#include "finder/bstr.h"

namespace seekwell {

// Negative results are failures; every other value is a success.
using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = static_cast<HRESULT>(0x80080005u);

inline bool Failed(HRESULT hr) { return hr < 0; }

struct IID {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};

inline bool operator==(const IID& a, const IID& b) { return std::memcmp(&a, &b, sizeof(IID)) == 0; }
inline bool operator!=(const IID& a, const IID& b) { return !(a == b); }

constexpr IID IID_IEnumUnknown = {0x00000100, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IUPnPDevice = {0x3D44D0D1, 0x98C9, 0x4889, {0xAC, 0xD1, 0xF9, 0xD6, 0x74, 0xBF, 0x22, 0x21}};

// Objects are never deleted through these interfaces: Release does that.
class IUnknown {
public:
    // On success *ppv holds a new reference that the caller releases.
    virtual HRESULT QueryInterface(const IID& riid, void** ppv) = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

class IEnumUnknown : public IUnknown {
public:
    virtual HRESULT Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) = 0;

protected:
    ~IEnumUnknown() = default;
};

class IUPnPDevice : public IUnknown {
public:
    virtual HRESULT get_FriendlyName(BSTR* pbstr) = 0;
    virtual HRESULT get_PresentationURL(BSTR* pbstr) = 0;
    virtual HRESULT get_Description(BSTR* pbstr) = 0;

protected:
    ~IUPnPDevice() = default;
};

class IUPnPDevices : public IUnknown {
public:
    virtual HRESULT get_Count(long* plCount) = 0;
    // *ppunk is an enumerable object; query it for IEnumUnknown.
    virtual HRESULT get__NewEnum(IUnknown** ppunk) = 0;

protected:
    ~IUPnPDevices() = default;
};

class IUPnPDeviceFinder : public IUnknown {
public:
    // Synchronous: returns when the search is over.
    virtual HRESULT FindByType(BSTR bstrTypeURI, DWORD dwFlags, IUPnPDevices** pDevices) = 0;

protected:
    ~IUPnPDeviceFinder() = default;
};

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_UPNP_INTERFACES_H
