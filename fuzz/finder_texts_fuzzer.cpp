// The finder path's handling of what a device finder reports: arbitrary
// friendly names, presentation URLs and descriptions, failures at any step
// and counts that disagree with the devices, through the application
// object's search, narrowing, host cut and copy-out.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "fake_device_finder.h"
#include "finder/device_text.h"
#include "finder/seekwell_app.h"
#include "result_records.h"

namespace {

using seekwell::test::DeviceFault;
using seekwell::test::FakeDevice;
using seekwell::test::FinderScript;
using seekwell::test::ReferenceLedger;
using seekwell::test::SearchFault;

constexpr int kMaxDevices = 24;
constexpr std::size_t kMaxTextLength = 3000;  // past the narrowing limit
constexpr long kMaxCount = 40;
constexpr int kFaultOneIn = 8;

// The finder of the input being run; the creation stand-in takes no context.
FinderScript g_script;
ReferenceLedger g_ledger;
bool g_creationFails;

seekwell::HRESULT CreateScriptedFinder(seekwell::IUPnPDeviceFinder** finder)
{
    *finder = g_creationFails ? nullptr : seekwell::test::NewFakeDeviceFinder(g_script, g_ledger);
    return g_creationFails ? seekwell::E_FAIL : seekwell::S_OK;
}

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

FakeDevice ReadDevice(FuzzedDataProvider& input)
{
    FakeDevice device;
    const bool faulty = input.ConsumeIntegralInRange<int>(1, kFaultOneIn) == 1;
    device.fault = faulty ? static_cast<DeviceFault>(input.ConsumeIntegralInRange<int>(1, 6)) : DeviceFault::None;
    device.friendlyName = input.ConsumeRandomLengthString(kMaxTextLength);
    device.presentationUrl = input.ConsumeRandomLengthString(kMaxTextLength);
    device.description = input.ConsumeRandomLengthString(kMaxTextLength);
    return device;
}

void ReadScript(FuzzedDataProvider& input)
{
    g_script = FinderScript{};
    g_ledger = ReferenceLedger{};
    g_creationFails = input.ConsumeIntegralInRange<int>(1, kFaultOneIn * 4) == 1;
    g_script.fault = input.ConsumeIntegralInRange<int>(1, kFaultOneIn) == 1
                         ? static_cast<SearchFault>(input.ConsumeIntegralInRange<int>(1, 4))
                         : SearchFault::None;
    g_script.countOverride = input.ConsumeBool() ? input.ConsumeIntegralInRange<long>(0, kMaxCount) : -1;
    const int devices = input.ConsumeIntegralInRange<int>(0, kMaxDevices);
    for (int i = 0; i < devices && input.remaining_bytes() > 0; ++i) {
        g_script.devices.push_back(ReadDevice(input));
    }
}

bool ComesFromSomeDevice(const std::string& name, const std::string& host)
{
    for (const FakeDevice& device : g_script.devices) {
        if (seekwell::NarrowName(device.friendlyName.c_str()) == name &&
            device.presentationUrl.find(host) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Each record: a heap copy of a device's name (as NarrowName gives it) and a
// non-empty host cut from the same device's URL, both within the limit.
void CheckRecords(const DISCOVERY_RESULT* results, int count)
{
    for (int i = 0; i < count; ++i) {
        Require(results[i].pszName != nullptr && results[i].pszAddress != nullptr);
        const std::string name = results[i].pszName;
        const std::string host = results[i].pszAddress;
        Require(name.size() <= seekwell::kNarrowTextMaxChars && host.size() <= seekwell::kNarrowTextMaxChars);
        Require(!host.empty() && ComesFromSomeDevice(name, host));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    ReadScript(input);
    const bool conversionFails = input.ConsumeIntegralInRange<int>(1, kFaultOneIn * 4) == 1;
    seekwell::CSeekwellApp app(
        &CreateScriptedFinder,
        conversionFails ? +[](const char*) -> seekwell::BSTR { return nullptr; }
                        : +[](const char* text) { return seekwell::SysAllocString(text); });

    // Exactly the caller's 16 records, so that ASan sees a write past them.
    const auto results = std::make_unique<DISCOVERY_RESULT[]>(seekwell::kMaxResults);
    const int count = app.DiscoverByDeviceFinder(results.get());
    Require(count >= seekwell::kNoSearch && count <= seekwell::kMaxResults);
    // A finder created for a search that could not start stays held; the
    // next call would release it.
    app.ReleaseInterface(app.m_pDeviceFinder);
    Require(g_ledger.AllReleased());
    if (count > 0) {
        CheckRecords(results.get(), count);
    }
    seekwell::test::ReleaseRecords(results.get(), count);
    return 0;
}
