#include "fake_device_finder.h"

#include <memory>

namespace seekwell::test {

namespace {

class LedgerObject {
protected:
    explicit LedgerObject(ReferenceLedger& ledger) : ledger_(ledger) { ++ledger_.handedOut; }
    virtual ~LedgerObject() = default;

    HRESULT Answer(bool answers, void* object, void** out)
    {
        *out = answers ? object : nullptr;
        if (!answers) {
            return E_NOINTERFACE;
        }
        ++references_;
        ++ledger_.handedOut;
        return S_OK;
    }

    ULONG Drop()
    {
        ++ledger_.released;
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    ReferenceLedger& ledger_;

private:
    ULONG references_ = 1;
};

HRESULT ReadText(bool fails, const std::string& text, BSTR* out)
{
    *out = fails ? nullptr : SysAllocString(text.c_str());
    return fails ? E_FAIL : S_OK;
}

class Device final : public IUPnPDevice, LedgerObject {
public:
    Device(const FakeDevice& device, ReferenceLedger& ledger) : LedgerObject(ledger), device_(device) {}

    HRESULT QueryInterface(const IID& riid, void** ppv) override
    {
        const bool answers = riid == IID_IUPnPDevice && device_.fault != DeviceFault::NoDeviceInterface;
        const HRESULT hr = Answer(answers, static_cast<IUPnPDevice*>(this), ppv);
        ledger_.devicesVisited += answers ? 1 : 0;
        return hr;
    }
    ULONG Release() override { return Drop(); }

    HRESULT get_FriendlyName(BSTR* pbstr) override
    {
        ledger_.propertyReads.push_back("name");
        return ReadText(device_.fault == DeviceFault::FriendlyNameFails, device_.friendlyName, pbstr);
    }
    HRESULT get_PresentationURL(BSTR* pbstr) override
    {
        ledger_.propertyReads.push_back("url");
        return ReadText(device_.fault == DeviceFault::PresentationUrlFails, device_.presentationUrl, pbstr);
    }
    HRESULT get_Description(BSTR* pbstr) override
    {
        ledger_.propertyReads.push_back("description");
        return ReadText(device_.fault == DeviceFault::DescriptionFails, device_.description, pbstr);
    }

private:
    const FakeDevice& device_;  // the script outlives the search
};

class Enumerator final : public IEnumUnknown, LedgerObject {
public:
    Enumerator(const FinderScript& script, ReferenceLedger& ledger) : LedgerObject(ledger), script_(script) {}

    HRESULT QueryInterface(const IID& riid, void** ppv) override
    {
        const bool answers = riid == IID_IEnumUnknown && script_.fault != SearchFault::NoEnumInterface;
        return Answer(answers, static_cast<IEnumUnknown*>(this), ppv);
    }
    ULONG Release() override { return Drop(); }

    HRESULT Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) override
    {
        if (celt != 1 || pceltFetched != nullptr) {
            return E_FAIL;  // the library asks for one element without a fetched count
        }
        *rgelt = nullptr;
        if (next_ >= script_.devices.size()) {
            return S_FALSE;
        }
        const FakeDevice& device = script_.devices[next_++];
        if (device.fault == DeviceFault::NextFails) {
            return E_FAIL;
        }
        if (device.fault == DeviceFault::NextYieldsNothing) {
            return S_OK;
        }
        *rgelt = static_cast<IUPnPDevice*>(new Device(device, ledger_));
        return S_OK;
    }

private:
    const FinderScript& script_;
    std::size_t next_ = 0;
};

class Collection final : public IUPnPDevices, LedgerObject {
public:
    Collection(const FinderScript& script, ReferenceLedger& ledger) : LedgerObject(ledger), script_(script) {}

    HRESULT QueryInterface(const IID&, void** ppv) override { return Answer(false, nullptr, ppv); }
    ULONG Release() override { return Drop(); }

    HRESULT get_Count(long* plCount) override
    {
        if (script_.fault == SearchFault::CountFails) {
            return E_FAIL;
        }
        *plCount = script_.countOverride >= 0 ? script_.countOverride : static_cast<long>(script_.devices.size());
        return S_OK;
    }

    HRESULT get__NewEnum(IUnknown** ppunk) override
    {
        if (script_.fault == SearchFault::NewEnumFails) {
            *ppunk = nullptr;
            return E_FAIL;
        }
        *ppunk = static_cast<IEnumUnknown*>(new Enumerator(script_, ledger_));
        return S_OK;
    }

private:
    const FinderScript& script_;
};

class Finder final : public IUPnPDeviceFinder, LedgerObject {
public:
    Finder(const FinderScript& script, ReferenceLedger& ledger) : LedgerObject(ledger), script_(script) {}

    HRESULT QueryInterface(const IID&, void** ppv) override { return Answer(false, nullptr, ppv); }
    ULONG Release() override { return Drop(); }

    HRESULT FindByType(BSTR bstrTypeURI, DWORD dwFlags, IUPnPDevices** pDevices) override
    {
        *pDevices = nullptr;
        if (script_.fault == SearchFault::FindFails || bstrTypeURI == nullptr ||
            std::string(bstrTypeURI) != "upnp:rootdevice" || dwFlags != 0) {
            return E_FAIL;
        }
        *pDevices = new Collection(script_, ledger_);
        return S_OK;
    }

private:
    const FinderScript& script_;
};

}  // namespace

IUPnPDeviceFinder* NewFakeDeviceFinder(const FinderScript& script, ReferenceLedger& ledger)
{
    return new Finder(script, ledger);
}

}  // namespace seekwell::test
