// Reference counting and interface lookup shared by the finder's objects.
// Every object is used on the thread that created the finder, so the count
// needs no atomics.
#ifndef SEEKWELL_FINDER_COM_OBJECT_H
#define SEEKWELL_FINDER_COM_OBJECT_H

#include "finder/upnp_interfaces.h"

namespace seekwell {

// Implements Interface; answers queries for one interface only, the one the
// library asks this kind of object for (none when queryableIid is null).
template <class Interface>
class ComObject : public Interface {
public:
    HRESULT QueryInterface(const IID& riid, void** ppv) override
    {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (queryableIid_ == nullptr || riid != *queryableIid_) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        ++references_;
        *ppv = static_cast<Interface*>(this);
        return S_OK;
    }

    ULONG Release() override
    {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    explicit ComObject(const IID* queryableIid) : queryableIid_(queryableIid) {}
    virtual ~ComObject() = default;

private:
    const IID* queryableIid_;
    ULONG references_ = 1;
};

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_COM_OBJECT_H
