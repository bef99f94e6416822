#include "fake_device_finder.h"

#include <memory>

namespace seekwell::test {

namespace {

class LedgerObject {
protected:
    explicit LedgerObject(ReferenceLedger& ledger) : m_ledger(ledger) { ++m_ledger.nHandedOut; }
    virtual ~LedgerObject() = default;

    HRESULT Answer(bool bAnswers, void* pInterface, void** ppv) {
        *ppv = bAnswers ? pInterface : nullptr;
        if (!bAnswers) {
            return E_NOINTERFACE;
        }
        ++m_nReferences;
        ++m_ledger.nHandedOut;
        return S_OK;
    }

    ULONG Drop() {
        ++m_ledger.nReleased;
        const ULONG nLeft = --m_nReferences;
        if (nLeft == 0) {
            delete this;
        }
        return nLeft;
    }

    ReferenceLedger& m_ledger;

private:
    ULONG m_nReferences = 1;
};

HRESULT ReadText(bool bFails, const std::string& text, BSTR* pbstr) {
    *pbstr = bFails ? nullptr : SysAllocString(text.c_str());
    return bFails ? E_FAIL : S_OK;
}

class Device final : public IUPnPDevice, LedgerObject {
public:
    Device(const FakeDevice& device, ReferenceLedger& ledger) : LedgerObject(ledger), m_device(device) {}

    HRESULT QueryInterface(const IID& riid, void** ppv) override {
        const bool bAnswers = riid == IID_IUPnPDevice && m_device.fault != DeviceFault::kNoDeviceInterface;
        const HRESULT hr = Answer(bAnswers, static_cast<IUPnPDevice*>(this), ppv);
        m_ledger.nDevicesVisited += bAnswers ? 1 : 0;
        return hr;
    }
    ULONG Release() override { return Drop(); }

    HRESULT get_FriendlyName(BSTR* pbstr) override {
        m_ledger.propertyReads.push_back("name");
        return ReadText(m_device.fault == DeviceFault::kFriendlyNameFails, m_device.strFriendlyName, pbstr);
    }
    HRESULT get_PresentationURL(BSTR* pbstr) override {
        m_ledger.propertyReads.push_back("url");
        return ReadText(m_device.fault == DeviceFault::kPresentationUrlFails, m_device.strPresentationUrl,
                        pbstr);
    }
    HRESULT get_Description(BSTR* pbstr) override {
        m_ledger.propertyReads.push_back("description");
        return ReadText(m_device.fault == DeviceFault::kDescriptionFails, m_device.strDescription, pbstr);
    }

private:
    const FakeDevice& m_device;  // the script outlives the search
};

class Enumerator final : public IEnumUnknown, LedgerObject {
public:
    Enumerator(const FinderScript& script, ReferenceLedger& ledger) : LedgerObject(ledger), m_script(script) {}

    HRESULT QueryInterface(const IID& riid, void** ppv) override {
        const bool bAnswers = riid == IID_IEnumUnknown && m_script.fault != SearchFault::kNoEnumInterface;
        return Answer(bAnswers, static_cast<IEnumUnknown*>(this), ppv);
    }
    ULONG Release() override { return Drop(); }

    HRESULT Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) override {
        if (celt != 1 || pceltFetched != nullptr) {
            return E_FAIL;  // the library asks for one element without a fetched count
        }
        *rgelt = nullptr;
        if (m_next >= m_script.devices.size()) {
            return S_FALSE;
        }
        const FakeDevice& device = m_script.devices[m_next++];
        if (device.fault == DeviceFault::kNextFails) {
            return E_FAIL;
        }
        if (device.fault == DeviceFault::kNextYieldsNothing) {
            return S_OK;
        }
        *rgelt = static_cast<IUPnPDevice*>(new Device(device, m_ledger));
        return S_OK;
    }

private:
    const FinderScript& m_script;
    std::size_t m_next = 0;
};

class Collection final : public IUPnPDevices, LedgerObject {
public:
    Collection(const FinderScript& script, ReferenceLedger& ledger) : LedgerObject(ledger), m_script(script) {}

    HRESULT QueryInterface(const IID&, void** ppv) override { return Answer(false, nullptr, ppv); }
    ULONG Release() override { return Drop(); }

    HRESULT get_Count(long* plCount) override {
        if (m_script.fault == SearchFault::kCountFails) {
            return E_FAIL;
        }
        *plCount = m_script.nCountOverride >= 0 ? m_script.nCountOverride
                                                : static_cast<long>(m_script.devices.size());
        return S_OK;
    }

    HRESULT get__NewEnum(IUnknown** ppunk) override {
        if (m_script.fault == SearchFault::kNewEnumFails) {
            *ppunk = nullptr;
            return E_FAIL;
        }
        *ppunk = static_cast<IEnumUnknown*>(new Enumerator(m_script, m_ledger));
        return S_OK;
    }

private:
    const FinderScript& m_script;
};

class Finder final : public IUPnPDeviceFinder, LedgerObject {
public:
    Finder(const FinderScript& script, ReferenceLedger& ledger) : LedgerObject(ledger), m_script(script) {}

    HRESULT QueryInterface(const IID&, void** ppv) override { return Answer(false, nullptr, ppv); }
    ULONG Release() override { return Drop(); }

    HRESULT FindByType(BSTR bstrTypeURI, DWORD dwFlags, IUPnPDevices** pDevices) override {
        *pDevices = nullptr;
        if (m_script.fault == SearchFault::kFindFails || bstrTypeURI == nullptr ||
            std::string(bstrTypeURI) != "upnp:rootdevice" || dwFlags != 0) {
            return E_FAIL;
        }
        *pDevices = new Collection(m_script, m_ledger);
        return S_OK;
    }

private:
    const FinderScript& m_script;
};

}  // namespace

IUPnPDeviceFinder* NewFakeDeviceFinder(const FinderScript& script, ReferenceLedger& ledger) {
    return new Finder(script, ledger);
}

}  // namespace seekwell::test
