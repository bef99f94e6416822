// An in-memory device finder for the application object's tests. It hands
// out scripted devices, can fail at any step of a search, and keeps a ledger
// of every reference it hands out and every release.
#ifndef SEEKWELL_TESTS_FAKE_DEVICE_FINDER_H
#define SEEKWELL_TESTS_FAKE_DEVICE_FINDER_H

#include <string>
#include <vector>

#include "finder/upnp_interfaces.h"

namespace seekwell::test {

enum class DeviceFault {
    kNone,
    kNextFails,          // the enumerator fails instead of yielding it
    kNextYieldsNothing,  // the enumerator succeeds without an element
    kNoDeviceInterface,  // the element refuses the device interface
    kFriendlyNameFails,
    kPresentationUrlFails,
    kDescriptionFails,
};

struct FakeDevice {
    std::string strFriendlyName;
    std::string strPresentationUrl;
    std::string strDescription;
    DeviceFault fault = DeviceFault::kNone;
};

enum class SearchFault {
    kNone,
    kFindFails,
    kCountFails,
    kNewEnumFails,
    kNoEnumInterface,
};

struct ReferenceLedger {
    int nHandedOut = 0;
    int nReleased = 0;
    int nDevicesVisited = 0;                 // device interfaces handed out
    std::vector<std::string> propertyReads;  // "name", "url", "description" in call order
    bool AllReleased() const { return nHandedOut == nReleased; }
};

struct FinderScript {
    std::vector<FakeDevice> devices;
    SearchFault fault = SearchFault::kNone;
    long nCountOverride = -1;  // when >= 0, the count reported instead of the device number
};

// A new finder with one reference, recorded in ledger; it runs script.
IUPnPDeviceFinder* NewFakeDeviceFinder(const FinderScript& script, ReferenceLedger& ledger);

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_FAKE_DEVICE_FINDER_H
