#include "finder/device_collection.h"

#include <memory>
#include <new>

#include "finder/com_object.h"

namespace seekwell {

namespace {

using SharedDeviceList = std::shared_ptr<const DeviceList>;

HRESULT CopyText(const std::string& text, BSTR* out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = SysAllocString(text.c_str());
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

class Device final : public ComObject<IUPnPDevice> {
public:
    Device(SharedDeviceList devices, std::size_t index)
        : ComObject(&IID_IUPnPDevice), devices_(std::move(devices)), index_(index)
    {
    }

    HRESULT get_FriendlyName(BSTR* pbstr) override { return CopyText(Properties().friendlyName, pbstr); }
    HRESULT get_PresentationURL(BSTR* pbstr) override { return CopyText(Properties().presentationUrl, pbstr); }
    HRESULT get_Description(BSTR* pbstr) override { return CopyText(Properties().description, pbstr); }

private:
    const DeviceProperties& Properties() const { return (*devices_)[index_]; }

    SharedDeviceList devices_;
    std::size_t index_;
};

class DeviceEnumerator final : public ComObject<IEnumUnknown> {
public:
    explicit DeviceEnumerator(SharedDeviceList devices) : ComObject(&IID_IEnumUnknown), devices_(std::move(devices)) {}

    // Hands out up to celt devices; S_FALSE when fewer were left.
    HRESULT Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) override
    {
        if (rgelt == nullptr) {
            return E_POINTER;
        }
        ULONG fetched = 0;
        while (fetched < celt && next_ < devices_->size()) {
            auto* device = new (std::nothrow) Device(devices_, next_);
            if (device == nullptr) {
                break;
            }
            rgelt[fetched++] = device;
            ++next_;
        }
        if (pceltFetched != nullptr) {
            *pceltFetched = fetched;
        }
        return fetched == celt ? S_OK : S_FALSE;
    }

private:
    SharedDeviceList devices_;
    std::size_t next_ = 0;
};

// Queried for nothing: the library only asks it for its enumerable object.
class DeviceCollection final : public ComObject<IUPnPDevices> {
public:
    explicit DeviceCollection(SharedDeviceList devices) : ComObject(nullptr), devices_(std::move(devices)) {}

    HRESULT get_Count(long* plCount) override
    {
        if (plCount == nullptr) {
            return E_POINTER;
        }
        *plCount = static_cast<long>(devices_->size());
        return S_OK;
    }

    HRESULT get__NewEnum(IUnknown** ppunk) override
    {
        if (ppunk == nullptr) {
            return E_POINTER;
        }
        *ppunk = new (std::nothrow) DeviceEnumerator(devices_);
        return *ppunk != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    SharedDeviceList devices_;
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
