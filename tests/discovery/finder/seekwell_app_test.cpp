#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "failing_new.h"
#include "fake_device_finder.h"
#include "finder/device_text.h"
#include "finder/seekwell_app.h"
#include "result_records.h"

namespace seekwell::test {
namespace {

constexpr const char kRobotDescription[] = "ROVA companion robot";

FakeDevice Robot(const std::string& name, const std::string& url) { return FakeDevice{name, url, kRobotDescription}; }

FakeDevice Robot(int index)
{
    return Robot("robot " + std::to_string(index), "http://192.168.0." + std::to_string(10 + index) + "/index.html");
}

FakeDevice Other(const std::string& description) { return FakeDevice{"printer", "http://192.168.0.99/", description}; }

// Each test drives a CSeekwellApp whose finder comes from the fake.
class SeekwellAppTest : public ::testing::Test {
protected:
    SeekwellAppTest() : app_(&CreateFakeFinder, &ConvertDeviceType) { s_current = this; }
    ~SeekwellAppTest() override { s_current = nullptr; }

    int Discover()
    {
        records_.Reset();
        written_ = app_.DiscoverByDeviceFinder(records_.Data());
        return written_;
    }

    // Names and addresses of the records written, "name@address".
    std::vector<std::string> Reported() const
    {
        std::vector<std::string> reported;
        for (int i = 0; i < written_; ++i) {
            reported.push_back(std::string(records_[i].pszName) + "@" + records_[i].pszAddress);
        }
        return reported;
    }

    bool RecordsUntouchedFrom(int first) const { return records_.UntouchedFrom(first); }

    // Discover with the allocation numbered failingAllocation throwing; the
    // records are checked and freed without allocating, so that the heap in
    // use before and after the call can be compared.
    struct FailedCall {
        int result;
        bool reportsAPrefix;  // of expected, with nothing written after it
        std::size_t heapGrowth;
    };
    FailedCall DiscoverFailingAt(long failingAllocation, const char* const (&expected)[3])
    {
        records_.Reset();
        const std::size_t heapBefore = mallinfo2().uordblks;
        ArmAllocationFailure(failingAllocation);
        const int n = app_.DiscoverByDeviceFinder(records_.Data());
        DisarmAllocationFailure();
        bool isPrefix = n >= -1 && n <= static_cast<int>(std::size(expected)) && RecordsUntouchedFrom(n < 0 ? 0 : n);
        for (int i = 0; isPrefix && i < n; ++i) {
            isPrefix = std::strcmp(records_[i].pszName, expected[i]) == 0;
        }
        records_.Reset();
        return FailedCall{n, isPrefix, mallinfo2().uordblks - heapBefore};
    }

    FinderScript script_;
    ReferenceLedger ledger_;
    int findersCreated_ = 0;
    bool createFails_ = false;
    bool conversionFails_ = false;
    CSeekwellApp app_;

private:
    static HRESULT CreateFakeFinder(IUPnPDeviceFinder** finder)
    {
        *finder = nullptr;
        if (s_current->createFails_) {
            return E_FAIL;
        }
        ++s_current->findersCreated_;
        *finder = NewFakeDeviceFinder(s_current->script_, s_current->ledger_);
        return S_OK;
    }

    static BSTR ConvertDeviceType(const char* text)
    {
        return s_current->conversionFails_ ? nullptr : SysAllocString(text);
    }

    static SeekwellAppTest* s_current;
    ResultRecords records_;
    int written_ = 0;
};

SeekwellAppTest* SeekwellAppTest::s_current = nullptr;

TEST(DeviceTextTest, NarrowingKeepsAtMost2047BytesWithoutSplittingACharacter)
{
    EXPECT_EQ(NarrowText(nullptr), "");
    EXPECT_EQ(NarrowText("robot"), "robot");
    EXPECT_EQ(NarrowText(std::string(2047, 'a').c_str()), std::string(2047, 'a'));
    // A two-byte character whose second byte would be byte 2048 goes whole.
    const std::string split = std::string(2046, 'a') + "\xC3\xA9" + "tail";
    EXPECT_EQ(NarrowText(split.c_str()), std::string(2046, 'a'));
    // A four-byte character ending exactly at the limit stays.
    const std::string fits = std::string(2043, 'a') + "\xF0\x9F\xA4\x96" + "tail";
    EXPECT_EQ(NarrowText(fits.c_str()), std::string(2043, 'a') + "\xF0\x9F\xA4\x96");
}

// The application object's tests show the usual URL forms; these are the edges of the cut.
TEST(DeviceTextTest, HostTextIsCutFromThePresentationUrl)
{
    EXPECT_EQ(HostFromPresentationUrl("http://192.168.0.10/"), "192.168.0.10");
    EXPECT_EQ(HostFromPresentationUrl("http://a/"), "a");
    EXPECT_EQ(HostFromPresentationUrl("http:///"), "");
    EXPECT_EQ(HostFromPresentationUrl("index.html"), "");
    EXPECT_EQ(HostFromPresentationUrl(""), "");
}

TEST_F(SeekwellAppTest, ReportsRobotsInFinderOrderAndReleasesEverything)
{
    script_.devices = {Robot("alpha", "http://192.168.0.10/index.html"),
                       Other("network printer"),
                       Other("rova in the wrong case"),
                       Robot("beta", "http://192.168.0.11:80/"),
                       Robot("no path", "http://192.168.0.12"),
                       Robot("", "http://192.168.0.13/app/index.html"),
                       Robot("secure", "https://192.168.0.14/index.html"),
                       Robot(std::string(3000, 'n'), "http://192.168.0.15/")};
    EXPECT_EQ(Discover(), 5);
    EXPECT_EQ(Reported(), (std::vector<std::string>{"alpha@192.168.0.10", "beta@192.168.0.11:80", "@192.168.0.13/app",
                                                    "secure@/192.168.0.14", std::string(2047, 'n') + "@192.168.0.15"}));
    EXPECT_TRUE(RecordsUntouchedFrom(5));
    EXPECT_EQ(ledger_.devicesVisited, 8);
    EXPECT_TRUE(ledger_.AllReleased()) << ledger_.handedOut << " handed out, " << ledger_.released << " released";
    EXPECT_EQ(app_.m_pDeviceFinder, nullptr);
    // All three texts are read for every device, in one order.
    ASSERT_EQ(ledger_.propertyReads.size(), 24u);
    for (std::size_t i = 0; i < ledger_.propertyReads.size(); i += 3) {
        EXPECT_EQ(ledger_.propertyReads[i], "name");
        EXPECT_EQ(ledger_.propertyReads[i + 1], "url");
        EXPECT_EQ(ledger_.propertyReads[i + 2], "description");
    }
}

// The finder's XML parser passes on bytes that are not UTF-8 and keeps some control characters: a
// name leaves as the live search gives it, whatever came in.
TEST_F(SeekwellAppTest, NamesAreReportedAsTheLiveSearchGivesThem)
{
    const std::string japanese = "\xE3\x83\xAD\xE3\x83\x9C";  // two characters of three bytes
    const std::string replacement = "\xEF\xBF\xBD";
    const auto repeated = [](const std::string& text, std::size_t times) {
        std::string all;
        for (std::size_t i = 0; i < times; ++i) {
            all += text;
        }
        return all;
    };
    const struct {
        std::string sent;
        std::string reported;
    } kRows[] = {
        {"Latin-1 caf\xE9", "Latin-1 caf" + replacement},
        {"\x1B[31mred\x07", "[31mred"},
        {"tab\tnew line\ndel\x7F C1\xC2\x85 end", "tabnew linedel C1 end"},
        {japanese + " robot", japanese + " robot"},
        {std::string(4000, 'a'), std::string(2047, 'a')},
        // 682 characters of three bytes fill 2046 bytes; the next would pass byte 2047.
        {repeated("\xE3\x83\xAD", 1334), repeated("\xE3\x83\xAD", 682)},
        // Each Latin-1 byte becomes three: the cut is made on what is reported.
        {repeated("\xE9", 2000), repeated(replacement, 682)},
        // What is dropped does not count against the cut.
        {std::string(100, '\t') + std::string(2047, 'b'), std::string(2047, 'b')},
    };
    for (const auto& row : kRows) {
        script_.devices.push_back(Robot(row.sent, "http://192.168.0.10/"));
    }
    ASSERT_EQ(Discover(), static_cast<int>(std::size(kRows)));
    const std::vector<std::string> reported = Reported();
    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        EXPECT_EQ(reported[i], kRows[i].reported + "@192.168.0.10") << "row " << i;
    }
}

TEST_F(SeekwellAppTest, TwentyRobotsFillTheSixteenSlotsAndAllAreReleased)
{
    for (int i = 0; i < 20; ++i) {
        script_.devices.push_back(Robot(i));
    }
    ASSERT_EQ(Discover(), kMaxResults);
    const std::vector<std::string> reported = Reported();
    EXPECT_EQ(reported.front(), "robot 0@192.168.0.10");
    EXPECT_EQ(reported.back(), "robot 15@192.168.0.25");
    EXPECT_EQ(ledger_.devicesVisited, 20);
    EXPECT_TRUE(ledger_.AllReleased());

    // A robot without host text takes a slot all the same, but no record.
    script_.devices[1].presentationUrl = "http://192.168.0.11";
    EXPECT_EQ(Discover(), 15);
    EXPECT_EQ(Reported()[1], "robot 2@192.168.0.12");
    EXPECT_EQ(Reported().back(), "robot 15@192.168.0.25");
    EXPECT_TRUE(RecordsUntouchedFrom(15));
}

TEST_F(SeekwellAppTest, SearchLevelFailuresReportNothingAndReleaseEverything)
{
    const FinderScript scripts[] = {
        {{Robot(0)}, SearchFault::FindFails},    {{Robot(0)}, SearchFault::CountFails},
        {{Robot(0)}, SearchFault::NewEnumFails}, {{Robot(0)}, SearchFault::NoEnumInterface},
        {{Robot(0)}, SearchFault::None, 0},  // a count of 0
    };
    for (std::size_t i = 0; i < std::size(scripts); ++i) {
        script_ = scripts[i];
        ledger_ = ReferenceLedger();
        EXPECT_EQ(Discover(), 0) << i;
        EXPECT_TRUE(RecordsUntouchedFrom(0)) << i;
        EXPECT_EQ(ledger_.devicesVisited, 0) << i;
        EXPECT_TRUE(ledger_.AllReleased()) << i;
    }
}

TEST_F(SeekwellAppTest, FailureWhileVisitingADeviceEndsTheWalk)
{
    struct Case {
        DeviceFault fault;
        std::vector<std::string> readsOfFaultyDevice;
    };
    const Case cases[] = {
        {DeviceFault::NextFails, {}},
        {DeviceFault::NextYieldsNothing, {}},
        {DeviceFault::NoDeviceInterface, {}},
        {DeviceFault::FriendlyNameFails, {"name"}},
        {DeviceFault::PresentationUrlFails, {"name", "url"}},
        {DeviceFault::DescriptionFails, {"name", "url", "description"}},
    };
    for (const Case& c : cases) {
        script_ = FinderScript{{Robot(0), Robot(1), Robot(2), Robot(3)}};
        script_.devices[2].fault = c.fault;
        ledger_ = ReferenceLedger();
        const int fault = static_cast<int>(c.fault);
        EXPECT_EQ(Discover(), 2) << fault;
        EXPECT_EQ(Reported(), (std::vector<std::string>{"robot 0@192.168.0.10", "robot 1@192.168.0.11"})) << fault;
        EXPECT_TRUE(RecordsUntouchedFrom(2)) << fault;
        EXPECT_TRUE(ledger_.AllReleased()) << fault;
        const std::vector<std::string> faultyReads(ledger_.propertyReads.begin() + 6, ledger_.propertyReads.end());
        EXPECT_EQ(faultyReads, c.readsOfFaultyDevice) << fault;
    }
}

TEST_F(SeekwellAppTest, NonRobotWithUnreadableNameBeforeARobotEndsTheWalk)
{
    FakeDevice other = Other("printer");
    other.fault = DeviceFault::FriendlyNameFails;
    script_.devices = {other, Robot(0)};
    EXPECT_EQ(Discover(), 0);
    EXPECT_TRUE(RecordsUntouchedFrom(0));
    EXPECT_TRUE(ledger_.AllReleased());
}

TEST_F(SeekwellAppTest, SecondCallReportsOnlyItsOwnFindings)
{
    script_.devices = {Robot(0), Robot(1), Robot(2)};
    ASSERT_EQ(Discover(), 3);
    script_.devices = {Other("printer"), Robot(7)};
    ASSERT_EQ(Discover(), 1);
    EXPECT_EQ(Reported(), std::vector<std::string>{"robot 7@192.168.0.17"});
    EXPECT_TRUE(RecordsUntouchedFrom(1));
    for (int i = 1; i < kMaxResults; ++i) {
        EXPECT_TRUE(app_.m_astrHost[i].empty());
        EXPECT_TRUE(app_.m_astrFriendlyName[i].empty());
    }
    EXPECT_EQ(findersCreated_, 2);
    EXPECT_TRUE(ledger_.AllReleased());
}

// Memory running out at any allocation of a call ends the search like a
// failed step: the robots stored before are reported, every reference is
// released and every string freed.
TEST_F(SeekwellAppTest, RunningOutOfMemoryAnywhereReleasesEverything)
{
    const char* const expected[] = {"robot 0", "robot 1", "robot 2"};
    script_.devices = {Robot(0), Other("network printer"), Robot(1), Robot(2)};
    ledger_.propertyReads.reserve(64);  // the ledger's growth is not the library's
    ArmAllocationFailure(-1);
    ASSERT_EQ(Discover(), 3);
    const long allocations = DisarmAllocationFailure();
    ASSERT_GT(allocations, 3);
    // The first unwind through each path primes the runtime's unwinder
    // caches, which are not the library's: heap growth counts on the second
    // sweep only.
    for (long k = 0; k <= allocations; ++k) {
        DiscoverFailingAt(k, expected);
    }
    for (long k = 0; k <= allocations; ++k) {
        ledger_.handedOut = ledger_.released = ledger_.devicesVisited = 0;
        ledger_.propertyReads.clear();
        const FailedCall call = DiscoverFailingAt(k, expected);
        EXPECT_TRUE(call.reportsAPrefix) << "allocation " << k << " failed, result " << call.result;
        EXPECT_EQ(call.result == 3, k == allocations) << k;
        EXPECT_TRUE(ledger_.AllReleased())
            << k << ": " << ledger_.handedOut << " handed out, " << ledger_.released << " released";
        EXPECT_EQ(app_.m_pDeviceFinder, nullptr) << k;
        EXPECT_EQ(call.heapGrowth, 0u) << "allocation " << k << " failed";
    }
}

TEST_F(SeekwellAppTest, NoFinderOrNoDeviceTypeMeansNoSearch)
{
    script_.devices = {Robot(0)};
    createFails_ = true;
    EXPECT_EQ(Discover(), -1);
    EXPECT_TRUE(RecordsUntouchedFrom(0));
    EXPECT_EQ(ledger_.handedOut, 0);

    // The finder obtained before the conversion failed is kept...
    createFails_ = false;
    conversionFails_ = true;
    EXPECT_EQ(Discover(), -1);
    EXPECT_TRUE(RecordsUntouchedFrom(0));
    EXPECT_NE(app_.m_pDeviceFinder, nullptr);
    EXPECT_EQ(ledger_.handedOut - ledger_.released, 1);

    // ...until the next call releases it before it creates a new one.
    conversionFails_ = false;
    EXPECT_EQ(Discover(), 1);
    EXPECT_EQ(findersCreated_, 2);
    EXPECT_TRUE(ledger_.AllReleased());
}

}  // namespace
}  // namespace seekwell::test
