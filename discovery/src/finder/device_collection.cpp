#include "finder/device_collection.h"

#include <memory>
#include <new>

#include "finder/com_object.h"

namespace seekwell {

namespace {

using SharedDeviceList = std::shared_ptr<const DeviceList>;

HRESULT CopyText(const std::string& text, BSTR* pbstr)
{
    if (pbstr == nullptr) {
        return E_POINTER;
    }
    *pbstr = SysAllocString(text.c_str());
    return *pbstr != nullptr ? S_OK : E_OUTOFMEMORY;
}

class Device final : public ComObject<IUPnPDevice> {
public:
    Device(SharedDeviceList devices, std::size_t index)
        : ComObject(&IID_IUPnPDevice), m_devices(std::move(devices)), m_index(index)
    {
    }

    HRESULT get_FriendlyName(BSTR* pbstr) override
    {
        return CopyText(Properties().strFriendlyName, pbstr);
    }
    HRESULT get_PresentationURL(BSTR* pbstr) override
    {
        return CopyText(Properties().strPresentationUrl, pbstr);
    }
    HRESULT get_Description(BSTR* pbstr) override
    {
        return CopyText(Properties().strDescription, pbstr);
    }

private:
    const DeviceProperties& Properties() const { return (*m_devices)[m_index]; }

    SharedDeviceList m_devices;
    std::size_t m_index;
};

class DeviceEnumerator final : public ComObject<IEnumUnknown> {
public:
    explicit DeviceEnumerator(SharedDeviceList devices)
        : ComObject(&IID_IEnumUnknown), m_devices(std::move(devices))
    {
    }

    // Hands out up to celt devices; S_FALSE when fewer were left.
    HRESULT Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) override
    {
        if (rgelt == nullptr) {
            return E_POINTER;
        }
        ULONG nFetched = 0;
        while (nFetched < celt && m_next < m_devices->size()) {
            auto* pDevice = new (std::nothrow) Device(m_devices, m_next);
            if (pDevice == nullptr) {
                break;
            }
            rgelt[nFetched++] = pDevice;
            ++m_next;
        }
        if (pceltFetched != nullptr) {
            *pceltFetched = nFetched;
        }
        return nFetched == celt ? S_OK : S_FALSE;
    }

private:
    SharedDeviceList m_devices;
    std::size_t m_next = 0;
};

// Queried for nothing: the library only asks it for its enumerable object.
class DeviceCollection final : public ComObject<IUPnPDevices> {
public:
    explicit DeviceCollection(SharedDeviceList devices)
        : ComObject(nullptr), m_devices(std::move(devices))
    {
    }

    HRESULT get_Count(long* plCount) override
    {
        if (plCount == nullptr) {
            return E_POINTER;
        }
        *plCount = static_cast<long>(m_devices->size());
        return S_OK;
    }

    HRESULT get__NewEnum(IUnknown** ppunk) override
    {
        if (ppunk == nullptr) {
            return E_POINTER;
        }
        *ppunk = new (std::nothrow) DeviceEnumerator(m_devices);
        return *ppunk != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    SharedDeviceList m_devices;
};

}  // namespace

IUPnPDevices* NewDeviceCollection(DeviceList devices)
{
    try {
        return new DeviceCollection(std::make_shared<const DeviceList>(std::move(devices)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace seekwell
