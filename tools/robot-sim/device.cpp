#include "device.h"

#include <arpa/inet.h>

#include <cstdio>

namespace robotsim {
namespace {

constexpr const char kRobotServer[] = "Linux/6.1 UPnP/1.0 R0VA-sim/1.0";
constexpr const char kPlainServer[] = "Linux/6.1 UPnP/1.0 sim/1.0";
constexpr const char kRobotDescriptionPath[] = "/ROVA.XML";
constexpr const char kOtherDescriptionPath[] = "/description.xml";
constexpr const char kPresentationPage[] = "/index.html";
constexpr const char kPresentationPageElsewhere[] = ":8080/app/";
constexpr const char kRobotDeviceType[] = "urn:schemas-upnp-org:device:Basic:1";
constexpr const char kOtherDeviceType[] = "urn:schemas-upnp-org:device:MediaRenderer:1";
constexpr const char kRootDevice[] = "upnp:rootdevice";
constexpr const char kSearchAll[] = "ssdp:all";
// How long a client may keep a device it heard of without hearing from it again.
constexpr const char kCacheControl[] = "CACHE-CONTROL: max-age=1800\r\n";
constexpr const char kAliveNts[] = "ssdp:alive";
constexpr const char kByebyeNts[] = "ssdp:byebye";
// The configuration of a device's description never changes in a run.
constexpr const char kConfigId[] = "1";
constexpr const char kRobotUdnPrefix[] = "R0VA";
constexpr const char kPlainUdnPrefix[] = "5e1d0000";
constexpr std::size_t kHugePaddingBytes = 4 * 1024 * 1024;
// Everything a name printer must escape: bytes that are not UTF-8 (a stray byte, a cut sequence),
// a terminal escape, DEL, quotes and a backslash, around two characters of three bytes each.
constexpr const char kOddNamePrefix[] = "Odd \xff\xe2\x82 \x1b[31m\x7f \"q\" \\ \xe3\x83\xad\xe3\x83\x9c ";
// An entity XML does not define: a strict parser rejects the document, a lenient one complains.
constexpr const char kUndefinedEntityManufacturer[] = "Sim Robot Works &trade;";

std::uint32_t HostOrder(in_addr address) { return ntohl(address.s_addr); }

// Unique per address; the prefix decides whether the product marker is in it.
std::string UdnWithPrefix(const char* prefix, in_addr address)
{
    char text[64];
    std::snprintf(text, sizeof text, "uuid:%s-5151-4000-8000-%012x", prefix, static_cast<unsigned>(HostOrder(address)));
    return text;
}

bool CarriesMarker(const SimDevice& device) { return device.isRobot && device.fault != DeviceFault::NoMarker; }

// The UDN a device announces in its search replies: a robot that hides its marker hides it here
// too, unless it was given one.
std::string AnnouncedUdn(const SimDevice& device)
{
    if (!device.udn.empty()) {
        return device.udn;
    }
    return CarriesMarker(device) ? DeviceUdn(device) : UdnWithPrefix(kPlainUdnPrefix, device.address);
}

const char* ServerText(const SimDevice& device) { return CarriesMarker(device) ? kRobotServer : kPlainServer; }

const char* DeviceType(const SimDevice& device) { return device.isRobot ? kRobotDeviceType : kOtherDeviceType; }

// The host the search reply sends a client to. The location faults name one other than the
// sender, so that only a client fetching from the sender finds this robot's description.
std::string LocationHost(const SimDevice& device)
{
    switch (device.fault) {
        case DeviceFault::LocationLoopback:
            return "127.0.0.1";
        case DeviceFault::LocationUnspecified:
            return "0.0.0.0";
        case DeviceFault::LocationBroadcast:
            return "255.255.255.255";
        case DeviceFault::LocationMulticast:
            return kSsdpGroup;
        case DeviceFault::LocationOtherDevice:
            return AddressText(device.nextAddress);
        default:
            return AddressText(device.address);
    }
}

std::string LocationHeader(const SimDevice& device, std::uint16_t httpPort)
{
    std::string header = "LOCATION: http://";
    if (device.fault == DeviceFault::BadLocation) {
        header = "Location: http://";
    }
    if (device.fault == DeviceFault::OtherScheme) {
        header = "LOCATION: https://";
    }
    header += LocationHost(device);
    if (httpPort != kHttpPort) {
        header += ":" + std::to_string(httpPort);
    }
    return header + (device.isRobot ? kRobotDescriptionPath : kOtherDescriptionPath);
}

// ST and USN of the reply, or nothing when the target is not this device's.
std::optional<std::pair<std::string, std::string>> ReplyTarget(const SimDevice& device, const std::string& searchTarget)
{
    const std::string udn = AnnouncedUdn(device);
    if (searchTarget == kSearchAll || searchTarget == kRootDevice) {
        return std::make_pair(std::string(kRootDevice), udn + "::" + kRootDevice);
    }
    if (searchTarget == udn) {
        return std::make_pair(udn, udn);
    }
    if (searchTarget == DeviceType(device)) {
        return std::make_pair(searchTarget, udn + "::" + searchTarget);
    }
    return std::nullopt;
}

// Element text as XML reads it back. Control characters and stray bytes stay as they are: they are
// the faults a name can carry.
std::string XmlText(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string Element(const char* name, const std::string& text)
{
    return std::string("<") + name + ">" + text + "</" + name + ">\n";
}

std::string PresentationUrl(const SimDevice& device)
{
    if (device.fault == DeviceFault::NoPage) {
        return std::string();
    }
    const bool elsewhere = device.fault == DeviceFault::PageElsewhere;
    return "http://" + AddressText(device.address) + (elsewhere ? kPresentationPageElsewhere : kPresentationPage);
}

std::string Manufacturer(const SimDevice& device)
{
    if (device.fault == DeviceFault::BrokenXml) {
        return kUndefinedEntityManufacturer;
    }
    return device.isRobot ? "Sim Robot Works" : "Sim Electronics";
}

std::string DeviceElements(const SimDevice& device)
{
    return Element("deviceType", DeviceType(device)) + Element("friendlyName", XmlText(FriendlyName(device))) +
           Element("manufacturer", Manufacturer(device)) +
           Element("modelDescription",
                   device.isRobot ? "ROVA home robot (simulated)" : "Network media player (simulated)") +
           Element("modelName", device.isRobot ? "ROVA-SIM" : "MP-1") + Element("UDN", DeviceUdn(device)) +
           Element("presentationURL", PresentationUrl(device));
}

std::string HugePadding() { return "<!-- " + std::string(kHugePaddingBytes, 'x') + " -->\n"; }

}  // namespace

std::vector<SimDevice> PlanDevices(const SimConfig& config)
{
    std::vector<SimDevice> devices;
    std::uint32_t next = HostOrder(config.firstAddress);
    auto add = [&](bool isRobot, int number) {
        SimDevice device;
        device.isRobot = isRobot;
        device.number = number;
        device.address.s_addr = htonl(next++);
        auto fault = config.robotFaults.find(number);
        if (isRobot && fault != config.robotFaults.end()) {
            device.fault = fault->second;
        }
        auto udn = config.robotUdns.find(number);
        if (isRobot && udn != config.robotUdns.end()) {
            device.udn = udn->second;
        }
        auto name = config.robotNames.find(number);
        if (isRobot && name != config.robotNames.end()) {
            device.name = name->second;
        }
        devices.push_back(device);
    };
    for (int robot = 1; robot <= config.robotCount; ++robot) {
        add(true, robot);
    }
    for (int other = 1; other <= config.otherCount; ++other) {
        add(false, other);
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        devices[i].nextAddress = devices[(i + 1) % devices.size()].address;
    }
    return devices;
}

std::string AddressText(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &address, text, sizeof text);
}

std::string DeviceUdn(const SimDevice& device)
{
    if (!device.udn.empty()) {
        return device.udn;
    }
    const bool marked = device.isRobot && device.fault != DeviceFault::WrongUdn;
    return UdnWithPrefix(marked ? kRobotUdnPrefix : kPlainUdnPrefix, device.address);
}

std::string FriendlyName(const SimDevice& device)
{
    const std::string own = (device.isRobot ? "ROVA robot " : "Media player ") + std::to_string(device.number);
    // A given name still renames, so that a test of renaming may pick the text.
    if (device.fault == DeviceFault::Renames) {
        return device.name.value_or(own) + " #" + std::to_string(device.reads);
    }
    if (device.name) {
        return *device.name;
    }
    if (device.fault == DeviceFault::OddName) {
        return kOddNamePrefix + std::to_string(device.number);
    }
    return own;
}

bool ServesHttp(const SimDevice& device) { return device.fault != DeviceFault::NoHttp; }

bool AnswersSearches(const SimDevice& device) { return device.fault != DeviceFault::NoSsdp; }

std::optional<std::string> BuildSearchReply(const SimDevice& device, const std::string& searchTarget,
                                            std::uint16_t httpPort)
{
    const auto target = ReplyTarget(device, searchTarget);
    if (!target) {
        return std::nullopt;
    }
    return std::string("HTTP/1.1 200 OK\r\n") + kCacheControl + "EXT:\r\n" + LocationHeader(device, httpPort) + "\r\n" +
           "SERVER: " + ServerText(device) + "\r\n" + "ST: " + target->first + "\r\n" + "USN: " + target->second +
           "\r\n\r\n";
}

const char* AnnouncementNts(Announcement kind) { return kind == Announcement::Alive ? kAliveNts : kByebyeNts; }

std::optional<std::string> BuildAnnouncement(const SimDevice& device, Announcement kind, std::uint16_t httpPort,
                                             int bootId)
{
    const auto target = ReplyTarget(device, kRootDevice);
    if (!AnswersSearches(device) || !target) {
        return std::nullopt;
    }
    std::string message =
        std::string("NOTIFY * HTTP/1.1\r\nHOST: ") + kSsdpGroup + ":" + std::to_string(kSsdpPort) + "\r\n";
    if (kind == Announcement::Alive) {
        message += kCacheControl + LocationHeader(device, httpPort) + "\r\n";
    }
    message += "NT: " + target->first + "\r\nNTS: " + AnnouncementNts(kind) + "\r\n";
    if (kind == Announcement::Alive) {
        message += std::string("SERVER: ") + ServerText(device) + "\r\n";
    }
    return message + "USN: " + target->second + "\r\nBOOTID.UPNP.ORG: " + std::to_string(bootId) +
           "\r\nCONFIGID.UPNP.ORG: " + kConfigId + "\r\n\r\n";
}

std::string BuildDescription(const SimDevice& device)
{
    if (device.fault == DeviceFault::NotXml) {
        return "Friendly name: " + FriendlyName(device) + "\nA description in plain text, without its UDN.\n";
    }
    std::string elements = DeviceElements(device);
    if (device.fault == DeviceFault::NulBody) {
        elements.insert(0, 1, '\0');
    }
    std::string document =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\n"
        "<specVersion><major>1</major><minor>0</minor></specVersion>\n"
        "<device>\n" +
        elements + "</device>\n</root>\n";
    if (device.fault == DeviceFault::HugeBody) {
        document += HugePadding();
    }
    return document;
}

std::string BuildHttpResponse(const SimDevice& device)
{
    const std::string body = BuildDescription(device);
    const char* status = device.fault == DeviceFault::ErrorStatus ? "404 Not Found" : "200 OK";
    const char* type = device.fault == DeviceFault::NotXml ? "text/plain" : "text/xml; charset=\"utf-8\"";
    return std::string("HTTP/1.1 ") + status + "\r\n" + "Content-Type: " + type +
           "\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n" +
           "Connection: close\r\n"
           "Server: " +
           ServerText(device) + "\r\n\r\n" + body;
}

}  // namespace robotsim
