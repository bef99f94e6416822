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
    None,
    NextFails,          // the enumerator fails instead of yielding it
    NextYieldsNothing,  // the enumerator succeeds without an element
    NoDeviceInterface,  // the element refuses the device interface
    FriendlyNameFails,
    PresentationUrlFails,
    DescriptionFails,
};

struct FakeDevice {
    std::string friendlyName;
    std::string presentationUrl;
    std::string description;
    DeviceFault fault = DeviceFault::None;
};

enum class SearchFault {
    None,
    FindFails,
    CountFails,
    NewEnumFails,
    NoEnumInterface,
};

struct ReferenceLedger {
    int handedOut = 0;
    int released = 0;
    int devicesVisited = 0;                  // device interfaces handed out
    std::vector<std::string> propertyReads;  // "name", "url", "description" in call order
    bool AllReleased() const { return handedOut == released; }
};

struct FinderScript {
    std::vector<FakeDevice> devices;
    SearchFault fault = SearchFault::None;
    long countOverride = -1;  // when >= 0, the count reported instead of the device number
};

// A new finder with one reference, recorded in ledger; it runs script.
IUPnPDeviceFinder* NewFakeDeviceFinder(const FinderScript& script, ReferenceLedger& ledger);

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_FAKE_DEVICE_FINDER_H
