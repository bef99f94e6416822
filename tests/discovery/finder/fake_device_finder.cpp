#include "fake_device_finder.h"

#include <memory>

namespace seekwell::test {

namespace {

class LedgerObject {
protected:
    explicit LedgerObject(ReferenceLedger& ledger) : ledger_(ledger) { ++ledger_.nHandedOut; }
    virtual ~LedgerObject() = default;

    HRESULT Answer(bool bAnswers, void* pInterface, void** ppv)
    {
        *ppv = bAnswers ? pInterface : nullptr;
        if (!bAnswers) {
            return E_NOINTERFACE;
        }
        ++references_;
        ++ledger_.nHandedOut;
        return S_OK;
    }

    ULONG Drop()
    {
        ++ledger_.nReleased;
        const ULONG nLeft = --references_;
        if (nLeft == 0) {
            delete this;
        }
        return nLeft;
    }

    ReferenceLedger& ledger_;

private:
    ULONG references_ = 1;
};

HRESULT ReadText(bool bFails, const std::string& text, BSTR* pbstr)
{
    *pbstr = bFails ? nullptr : SysAllocString(text.c_str());
    return bFails ? E_FAIL : S_OK;
}

class Device final : public IUPnPDevice, LedgerObject {
public:
    Device(const FakeDevice& device, ReferenceLedger& ledger) : LedgerObject(ledger), device_(device) {}

    HRESULT QueryInterface(const IID& riid, void** ppv) override
    {
        const bool bAnswers = riid == IID_IUPnPDevice && device_.fault != DeviceFault::kNoDeviceInterface;
        const HRESULT hr = Answer(bAnswers, static_cast<IUPnPDevice*>(this), ppv);
        ledger_.nDevicesVisited += bAnswers ? 1 : 0;
        return hr;
    }
    ULONG Release() override { return Drop(); }

    HRESULT get_FriendlyName(BSTR* pbstr) override
    {
        ledger_.propertyReads.push_back("name");
        return ReadText(device_.fault == DeviceFault::kFriendlyNameFails, device_.strFriendlyName, pbstr);
    }
    HRESULT get_PresentationURL(BSTR* pbstr) override
    {
        ledger_.propertyReads.push_back("url");
        return ReadText(device_.fault == DeviceFault::kPresentationUrlFails, device_.strPresentationUrl, pbstr);
    }
    HRESULT get_Description(BSTR* pbstr) override
    {
        ledger_.propertyReads.push_back("description");
        return ReadText(device_.fault == DeviceFault::kDescriptionFails, device_.strDescription, pbstr);
    }

private:
    const FakeDevice& device_;  // the script outlives the search
};

class Enumerator final : public IEnumUnknown, LedgerObject {
public:
    Enumerator(const FinderScript& script, ReferenceLedger& ledger) : LedgerObject(ledger), script_(script) {}

    HRESULT QueryInterface(const IID& riid, void** ppv) override
    {
        const bool bAnswers = riid == IID_IEnumUnknown && script_.fault != SearchFault::kNoEnumInterface;
        return Answer(bAnswers, static_cast<IEnumUnknown*>(this), ppv);
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
        if (device.fault == DeviceFault::kNextFails) {
            return E_FAIL;
        }
        if (device.fault == DeviceFault::kNextYieldsNothing) {
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
        if (script_.fault == SearchFault::kCountFails) {
            return E_FAIL;
        }
        *plCount = script_.nCountOverride >= 0 ? script_.nCountOverride : static_cast<long>(script_.devices.size());
        return S_OK;
    }

    HRESULT get__NewEnum(IUnknown** ppunk) override
    {
        if (script_.fault == SearchFault::kNewEnumFails) {
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
        if (script_.fault == SearchFault::kFindFails || bstrTypeURI == nullptr ||
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
