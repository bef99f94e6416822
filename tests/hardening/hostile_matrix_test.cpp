// One table of hostile devices on a private LAN, searched by the installed
// library through both of its paths: with its finder helper beside it (GUPnP)
// and copied alone (built-in search). A host process in the client namespace
// makes the calls, so each path gets a fresh process whose stderr and
// descriptors can be judged. Every call must end within its bound, report the
// good robots and nothing else, and leave no thread or descriptor behind.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "lan_fixture.h"

namespace seekwell::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

enum class SearchPath { Finder, BuiltIn };

// The finder helper is killed a grace period after its window; the built-in
// search adds its fetches after the window.
constexpr long kFinderGraceMs = 1000;
constexpr long kBuiltInQuickFetchesMs = 3000;  // the fast rows together
constexpr long kReceiveLimitMs = 30000;        // a silent server
constexpr long kWholeFetchCapMs = 60000;       // a server dripping a byte a second
constexpr long kFetchLimitSlackMs = 2000;      // two limits in a row, on top of the margin
#if defined(__SANITIZE_ADDRESS__)
constexpr long kMarginMs = 2000;
#else
constexpr long kMarginMs = 500;
#endif

constexpr std::uint16_t kCrowdPort = 8080;
constexpr int kCrowdDevices = 200;
constexpr int kCrowdFirstAddress = 32;  // RobotAddress index of the crowd's first host
constexpr int kCrowdHosts = 20;
constexpr std::size_t kLongText = 64 * 1024;
constexpr std::size_t kTenMegabytes = 10 * 1024 * 1024;
constexpr std::size_t kGarbageBytes = 8 * 1024;
constexpr char kMallocPerturbByte[] = "165";
constexpr std::size_t kShownErrorChars = 1500;

// One device of the table: it answers the search with ssdpReply from
// address; behaviour, when set, serves its description on port 80 there.
struct Device {
    std::string address;
    std::string ssdpReply;
    PeerBehaviour behaviour;
    std::string reportedAs;  // "name@address" when it is a good robot
};

struct Call {
    int result = 0;
    long tookMs = 0;
    int threads = 0;
    int descriptors = 0;
    std::vector<std::string> records;  // sorted
};

struct HostRun {
    bool exitedCleanly = false;
    std::vector<Call> calls;
    std::string errorOutput;
    std::string helperRan;
    std::string upnpStackMapped;
    std::string libcurlMapped;
};

std::string UdnOf(const std::string& address)
{
    return "uuid:R0VA-" + address;  // as RobotSsdpReply announces it
}

// A UPnP root device description; extra goes inside the device element.
std::string DeviceDescription(const std::string& udn, const std::string& friendlyName,
                              const std::string& modelDescription, const std::string& extra = "")
{
    return "<?xml version=\"1.0\"?>\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
           "<specVersion><major>1</major><minor>0</minor></specVersion><device>"
           "<deviceType>urn:schemas-upnp-org:device:Basic:1</deviceType>"
           "<friendlyName>" +
           friendlyName +
           "</friendlyName><manufacturer>Maker</manufacturer>"
           "<modelName>Model 7</modelName><modelDescription>" +
           modelDescription +
           "</modelDescription>"
           "<UDN>" +
           udn + "</UDN><presentationURL>index.html</presentationURL>" + extra + "</device></root>\n";
}

Device GoodRobot(const std::string& address, const std::string& name, const std::string& extra = "")
{
    return {address, RobotSsdpReply(address),
            Answer(Response(DeviceDescription(UdnOf(address), name, "ROVA walking robot", extra))),
            name + "@" + address};
}

Device Hostile(const std::string& address, PeerBehaviour behaviour)
{
    return {address, RobotSsdpReply(address), std::move(behaviour), ""};
}

// A marked reply whose location names host, where no server listens.
Device LocatedAt(const std::string& address, const std::string& host)
{
    return {address, RobotSsdpReply(host), nullptr, ""};
}

std::string Garbage()
{
    std::string bytes(kGarbageBytes, '\0');
    unsigned state = 12345;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(1 + (state >> 16) % 255);  // no NUL to end it early
    }
    return bytes;
}

// Terminal escape codes in a document that never closes its UDN.
std::string MalformedWithEscapes(const std::string& address)
{
    return "<?xml version=\"1.0\"?>\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
           "<friendlyName>\x1b[2J\x1b[31mRed\x1b]0;title\x07</friendlyName>"
           "<modelDescription>ROVA & <unclosed></modelDescription><UDN>" +
           UdnOf(address) + "<";
}

std::string RedirectToItself(const std::string& address)
{
    return Response("", "Location: http://" + address + "/ROVA.XML\r\n", "302 Found");
}

// Good robots around every fast hostile class, then marked replies that
// locate their description on addresses with no server behind them.
std::vector<Device> FastRows()
{
    auto at = [](int i) { return RobotAddress(i); };
    const std::string longText(kLongText, 'z');
    return {
        GoodRobot(at(0), "First robot"),
        Hostile(at(1), CloseAtOnce()),
        Hostile(at(2), ResetMidBody(DeviceDescription(UdnOf(at(2)), "Cut", "ROVA").substr(0, 200))),
        Hostile(at(3), EndlessBody(kTenMegabytes)),
        Hostile(at(4), Answer(Response(Garbage()))),
        Hostile(at(5), Answer(Response(MalformedWithEscapes(at(5))))),
        GoodRobot(at(6), "Long texts robot", "<serialNumber>" + longText + "</serialNumber>"),
        Hostile(at(7), Answer(RedirectToItself(at(7)))),
        LocatedAt(at(8), "0.0.0.0"),
        LocatedAt(at(9), "127.0.0.1"),
        LocatedAt(at(10), "255.255.255.255"),
        LocatedAt(at(11), "239.255.255.250"),
        GoodRobot(at(12), "Last robot"),
    };
}

// The classes that cost the built-in search its fetch limits.
std::vector<Device> SlowRows()
{
    return {
        Hostile(RobotAddress(0), NeverAnswer()),
        Hostile(RobotAddress(1), DripBody(1s)),
        GoodRobot(RobotAddress(2), "Patient robot"),
    };
}

std::string CrowdLocation(int i)
{
    return RobotAddress(kCrowdFirstAddress + i % kCrowdHosts) + ":" + std::to_string(kCrowdPort) + "/device-" +
           std::to_string(i) + ".xml";
}

// A device that is no robot: no marker in its reply or its description.
std::string CrowdSsdpReply(int i)
{
    return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\nLOCATION: http://" + CrowdLocation(i) +
           "\r\nSERVER: Linux/6.1 UPnP/1.0 Printer/2.0\r\nST: upnp:rootdevice\r\n"
           "USN: uuid:printer-" +
           std::to_string(i) + "::upnp:rootdevice\r\n\r\n";
}

// "GET /device-12.xml HTTP/1.1" gives the description of device 12.
std::string CrowdResponse(const std::string& head)
{
    const std::string::size_type from = head.find("/device-");
    const std::string::size_type to = head.find(".xml", from);
    if (from == std::string::npos || to == std::string::npos) {
        return Response("", "", "404 Not Found");
    }
    const std::string number = head.substr(from + 8, to - from - 8);
    return Response(DeviceDescription("uuid:printer-" + number, "Printer " + number, "Office printer"));
}

std::string ReadWhole(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The report of search_probe: "search RESULT MS THREADS FDS", "record NAME@ADDRESS",
// "helper-ran yes|no", "upnp-stack none|NAMES", "libcurl none|NAMES".
HostRun ParseReport(const std::string& report)
{
    HostRun run;
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "search") {
            Call call;
            fields >> call.result >> call.tookMs >> call.threads >> call.descriptors;
            run.calls.push_back(call);
        } else if (kind == "record" && !run.calls.empty()) {
            run.calls.back().records.push_back(line.substr(kind.size() + 1));
        } else if (kind == "helper-ran") {
            fields >> run.helperRan;
        } else if (kind == "upnp-stack") {
            fields >> run.upnpStackMapped;
        } else if (kind == "libcurl") {
            fields >> run.libcurlMapped;
        }
    }
    for (Call& call : run.calls) {
        std::sort(call.records.begin(), call.records.end());
    }
    return run;
}

class HostileMatrix : public LanFixture {
protected:
    void SetUp() override
    {
        LanFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        char pattern[] = "/tmp/seekwell-matrix-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch_ = pattern;
        installedLibrary_ = InstalledLibrary();
        ASSERT_FALSE(installedLibrary_.empty()) << "no libseekwell installed under " << SEEKWELL_INSTALL_PREFIX;
        const fs::path helper = fs::path(installedLibrary_).parent_path() / "seekwell/seekwell-finder-gupnp";
        const bool executable = (fs::status(helper).permissions() & fs::perms::owner_exec) != fs::perms::none;
        ASSERT_TRUE(fs::is_regular_file(helper) && executable)
            << "the finder helper is not installed beside the library, or not executable";
    }

    void TearDown() override
    {
        peers_.clear();
        http_.reset();
        responder_.reset();
        if (!scratch_.empty()) {
            std::error_code ignored;
            fs::remove_all(scratch_, ignored);
        }
    }

    // Puts the table on the robot host, the crowd of other devices after it.
    void Serve(const std::vector<Device>& devices, int crowd)
    {
        std::vector<ScriptedReply> replies;
        for (const Device& device : devices) {
            replies.push_back({device.address, device.ssdpReply});
        }
        for (int i = 0; i < crowd; ++i) {
            replies.push_back({RobotAddress(kCrowdFirstAddress + i % kCrowdHosts), CrowdSsdpReply(i)});
        }
        lan_->Robots().Run([&] {
            for (const Device& device : devices) {
                if (device.behaviour) {
                    peers_.push_back(
                        std::make_unique<ScriptedHttpPeer>(device.address.c_str(), kHttpPort, device.behaviour));
                }
            }
            if (crowd > 0) {
                http_ = std::make_unique<ScriptedHttpPeer>("0.0.0.0", kCrowdPort, AnswerEach(CrowdResponse));
            }
        });
        Respond(replies);
    }

    // Runs calls searches in one host process on the client host.
    HostRun RunHost(SearchPath path, int calls)
    {
        std::string library = installedLibrary_;
        if (path == SearchPath::BuiltIn) {
            const fs::path lone = fs::path(scratch_) / "lone" / fs::path(library).filename();
            fs::create_directories(lone.parent_path());
            fs::copy_file(library, lone, fs::copy_options::overwrite_existing);
            library = lone.string();
        }
        const fs::path out = fs::path(scratch_) / "host.out";
        const fs::path err = fs::path(scratch_) / "host.err";
        const std::string command = "{ env " + MallocCheckSettings() + SEEKWELL_SEARCH_PROBE + " '" + library + "' " +
                                    std::to_string(calls) + " >'" + out.string() + "' 2>'" + err.string() + "'; }";
        const bool exitedCleanly = lan_->Client().Shell(command);
        HostRun run = ParseReport(ReadWhole(out));
        run.exitedCleanly = exitedCleanly;
        run.errorOutput = ReadWhole(err);
        return run;
    }

    // Judges every call of a run against the good robots of the table.
    void ExpectCalls(const HostRun& run, const std::vector<Device>& devices, int calls, long boundMs)
    {
        EXPECT_TRUE(run.exitedCleanly) << "the host process failed or was killed";
        EXPECT_TRUE(run.errorOutput.empty()) << "the host's stderr (first " << kShownErrorChars << " characters):\n"
                                             << run.errorOutput.substr(0, kShownErrorChars);
        ASSERT_EQ(static_cast<int>(run.calls.size()), calls) << "calls that returned";
        std::vector<std::string> robots;
        for (const Device& device : devices) {
            if (!device.reportedAs.empty()) {
                robots.push_back(device.reportedAs);
            }
        }
        std::sort(robots.begin(), robots.end());
        for (std::size_t i = 0; i < run.calls.size(); ++i) {
            const Call& call = run.calls[i];
            SCOPED_TRACE("call " + std::to_string(i + 1));
            EXPECT_EQ(call.result, static_cast<int>(robots.size()));
            EXPECT_EQ(call.records, robots);
            EXPECT_GE(call.tookMs, kWindowMs);
            EXPECT_LE(call.tookMs, boundMs);
            // The first call may leave the UPnP stack's own threads; no call after it adds any.
            EXPECT_EQ(call.threads, run.calls[0].threads);
            EXPECT_EQ(call.descriptors, run.calls[0].descriptors);
            std::printf("call %zu: %d robots in %ld ms, %d threads, %d descriptors after it\n", i + 1, call.result,
                        call.tookMs, call.threads, call.descriptors);
        }
    }

    // The finder path runs its helper; on either path nothing of the UPnP
    // stack is ever mapped in the host.
    void ExpectPath(const HostRun& run, SearchPath path)
    {
        EXPECT_EQ(run.helperRan, path == SearchPath::Finder ? "yes" : "no") << "the path taken";
        EXPECT_EQ(run.upnpStackMapped, "none") << "the UPnP stack in the host";
        // Only the built-in search's fetches need libcurl.
        EXPECT_EQ(run.libcurlMapped == "none", path == SearchPath::Finder) << run.libcurlMapped;
    }

    std::size_t CrowdRequests() const { return http_ ? http_->Requests().size() : 0; }

private:
    static std::string InstalledLibrary()
    {
        std::error_code error;
        for (fs::recursive_directory_iterator entry(SEEKWELL_INSTALL_PREFIX, error), end; !error && entry != end;
             entry.increment(error)) {
            const std::string name = entry->path().filename().string();
            if (name.rfind("libseekwell.so.", 0) == 0 && !entry->is_symlink() && entry->is_regular_file()) {
                return entry->path().string();
            }
        }
        return "";
    }

    // glibc's own heap checks in the normal build; the sanitizers have theirs.
    static std::string MallocCheckSettings()
    {
        const std::string checker = SEEKWELL_MALLOC_DEBUG_LIBRARY;
        if (checker.empty()) {
            return "";
        }
        return "MALLOC_PERTURB_=" + std::string(kMallocPerturbByte) + " MALLOC_CHECK_=3 LD_PRELOAD=" + checker + " ";
    }

    std::string scratch_;
    std::string installedLibrary_;
    std::vector<std::unique_ptr<ScriptedHttpPeer>> peers_;
};

TEST_F(HostileMatrix, FastLanFinderPath)
{
    const std::vector<Device> devices = FastRows();
    Serve(devices, kCrowdDevices);
    const HostRun run = RunHost(SearchPath::Finder, 2);
    ExpectPath(run, SearchPath::Finder);
    ExpectCalls(run, devices, 2, kWindowMs + kFinderGraceMs + kMarginMs);
    // The finder fetches the devices it hears, robot or not; a slow (sanitized)
    // process gets through fewer of them within its window.
    EXPECT_GE(CrowdRequests(), static_cast<std::size_t>(kCrowdDevices));
    std::printf("crowd descriptions fetched: %zu\n", CrowdRequests());
}

TEST_F(HostileMatrix, FastLanBuiltInPath)
{
    const std::vector<Device> devices = FastRows();
    Serve(devices, kCrowdDevices);
    const HostRun run = RunHost(SearchPath::BuiltIn, 2);
    ExpectPath(run, SearchPath::BuiltIn);
    ExpectCalls(run, devices, 2, kWindowMs + kBuiltInQuickFetchesMs + kMarginMs);
    // Replies without the marker are not followed.
    EXPECT_EQ(CrowdRequests(), 0u);
}

TEST_F(HostileMatrix, SlowLanFinderPath)
{
    const std::vector<Device> devices = SlowRows();
    Serve(devices, 0);
    const HostRun run = RunHost(SearchPath::Finder, 2);
    ExpectPath(run, SearchPath::Finder);
    ExpectCalls(run, devices, 2, kWindowMs + kFinderGraceMs + kMarginMs);
}

// One call: the silent and the dripping server cost it its fetch limits,
// one after the other; the fast rows prove the second call.
TEST_F(HostileMatrix, SlowLanBuiltInPath)
{
    const std::vector<Device> devices = SlowRows();
    Serve(devices, 0);
    const HostRun run = RunHost(SearchPath::BuiltIn, 1);
    ExpectPath(run, SearchPath::BuiltIn);
    ExpectCalls(run, devices, 1, kWindowMs + kReceiveLimitMs + kWholeFetchCapMs + kFetchLimitSlackMs + kMarginMs);
}

}  // namespace
}  // namespace seekwell::test
