// seekwell-ssdp-forger: SSDP search replies with forged IP sources, for the hostile-LAN test and
// the live storm bench, run inside a private network namespace. It hears M-SEARCH requests on one
// interface and answers the searcher through a raw socket whose IPv4 and UDP headers it writes
// itself, so the source address and port can be any at all; a reply longer than the link's MTU
// goes out as IP fragments, as a large datagram would.
//
//   seekwell-ssdp-forger --interface IF --source A.B.C.D[/LEN] [--avoid A.B.C.D-A.B.C.D]...
//       [--location self|A.B.C.D] [--self-every N] [--location-bytes N] [--new-ports]
//       [--usn USN] [--notify alive|byebye [--on-search] [--boot-id-each]]
//       [--rate N --duration-ms MS] [--lifetime S] [--report FILE] [--ready-file FILE]
//
// Without --rate, each search heard gets one reply from the next source. With it, the first
// searcher gets N replies a second for MS milliseconds. Every reply carries the robot marker in
// its USN, unless --usn names another. Sources and searchers must lie in the documentation or
// benchmarking networks (192.0.2.0/24, 198.18.0.0/15): nothing else is ever written to the wire.
//
// With --notify it forges announcements instead, multicast to 239.255.255.250:1900 on IF (which
// must have addresses of those networks only): ssdp:alive with the LOCATION the options above
// make, or ssdp:byebye, with the USN given or one of its own. Without --rate one, from the first
// source; with it, N a second for MS milliseconds, each from the next source. They start at once,
// or with --on-search when the first search is heard (so that its searcher is listening); then
// the forger ends. Hosts of IF's own namespace hear them too, as any multicast from there.
// Their BOOTID.UPNP.ORG is 1; with --boot-id-each, 2 for the first and one more for each next, as
// a device that starts again between any two of its announcements.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "unique_fd.h"

namespace ssdpforger {
namespace {

using Clock = std::chrono::steady_clock;
using robotsim::UniqueFd;

constexpr std::uint16_t kSsdpPort = 1900;
constexpr const char kSsdpGroup[] = "239.255.255.250";
constexpr std::string_view kSearchRequestLine = "M-SEARCH * HTTP/1.1\r\n";
constexpr std::size_t kBatchPackets = 64;  // per sendmmsg call
constexpr std::size_t kReceiveBytes = 2048;
constexpr std::size_t kIpHeaderBytes = sizeof(iphdr);
constexpr std::size_t kUdpHeaderBytes = sizeof(udphdr);
constexpr std::uint16_t kFirstNewPort = 1024;
constexpr std::uint8_t kTimeToLive = 4;
constexpr std::chrono::milliseconds kIdlePoll{50};
constexpr std::chrono::microseconds kLongestNap{1000};

// A stop signal ends the forger as its lifetime would: with its report written.
std::atomic<bool> g_stopRequested{false};

void OnStopSignal(int) { g_stopRequested = true; }

void InstallSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// The only networks a forged datagram may come from or go to.
struct TestNet {
    std::uint32_t network;
    std::uint32_t mask;
};
constexpr TestNet kTestNets[] = {{0xC0000200U, 0xFFFFFF00U}, {0xC6120000U, 0xFFFE0000U}};

bool InTestNet(in_addr address)
{
    const std::uint32_t host = ntohl(address.s_addr);
    for (const TestNet& net : kTestNets) {
        if ((host & net.mask) == net.network) {
            return true;
        }
    }
    return false;
}

std::string Text(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string EndpointText(const sockaddr_in& endpoint)
{
    return Text(endpoint.sin_addr) + ":" + std::to_string(ntohs(endpoint.sin_port));
}

// Multicast reaches every host of the link: only on a link of the test networks alone.
bool OnlyTestNetsOn(const std::string& interfaceName)
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return false;
    }
    bool inTestNet = false;
    bool elsewhere = false;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || interfaceName != entry->ifa_name) {
            continue;
        }
        sockaddr_in address{};
        std::memcpy(&address, entry->ifa_addr, sizeof address);
        (InTestNet(address.sin_addr) ? inTestNet : elsewhere) = true;
    }
    ::freeifaddrs(list);
    return inTestNet && !elsewhere;
}

sockaddr_in GroupEndpoint()
{
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kSsdpPort);
    inet_pton(AF_INET, kSsdpGroup, &group.sin_addr);
    return group;
}

enum class NotifyKind { None, Alive, Byebye };

struct HostRange {
    std::uint32_t first;  // host order, both ends included
    std::uint32_t last;
};

struct ForgerOptions {
    std::string interfaceName;
    std::uint32_t sourceFirst = 0;  // host order
    std::uint32_t sourceLast = 0;
    std::vector<HostRange> avoided;
    std::optional<in_addr> locationHost;   // unset: the forged sender itself
    int selfEvery = 0;                     // every Nth reply names its own sender; 0: per --location
    std::size_t locationBytes = 0;         // the whole LOCATION line, padded; 0: as short as it gets
    bool newPorts = false;                 // each reply from a port not used just before
    std::string usn;                       // of every datagram; empty: one of its own for each
    NotifyKind notify = NotifyKind::None;  // None: replies to searches
    bool onSearch = false;                 // announcements wait for the first search heard
    bool bootIdEach = false;               // every announcement a BOOTID.UPNP.ORG of its own
    double rate = 0;
    int durationMs = 10000;
    int lifetimeSeconds = 60;
    std::string reportPath;
    std::string readyPath;
};

bool ParseAddress(const std::string& text, std::uint32_t& host)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1 || !InTestNet(address)) {
        return false;
    }
    host = ntohl(address.s_addr);
    return true;
}

// A.B.C.D or A.B.C.D/LEN: every address of the block but its network and broadcast addresses.
bool ParseSources(const std::string& text, ForgerOptions& options)
{
    const std::size_t slash = text.find('/');
    std::uint32_t base = 0;
    if (!ParseAddress(text.substr(0, slash), base)) {
        return false;
    }
    if (slash == std::string::npos) {
        options.sourceFirst = options.sourceLast = base;
        return true;
    }
    const int length = std::atoi(text.c_str() + slash + 1);
    constexpr int kSmallestBlock = 15;  // the larger of the test networks
    constexpr int kLargestBlock = 30;
    if (length < kSmallestBlock || length > kLargestBlock) {
        return false;
    }
    const std::uint32_t mask = ~0U << (32 - length);
    options.sourceFirst = (base & mask) + 1;
    options.sourceLast = (base | ~mask) - 1;
    in_addr last{htonl(options.sourceLast)};
    return InTestNet(last);
}

bool ParseRange(const std::string& text, ForgerOptions& options)
{
    const std::size_t dash = text.find('-');
    HostRange range{};
    if (!ParseAddress(text.substr(0, dash), range.first)) {
        return false;
    }
    range.last = range.first;
    if (dash != std::string::npos && !ParseAddress(text.substr(dash + 1), range.last)) {
        return false;
    }
    options.avoided.push_back(range);
    return range.first <= range.last;
}

bool ParseWhole(const std::string& text, long low, long high, long& value)
{
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value >= low && value <= high;
}

template <typename Number>
bool AssignWhole(const std::string& text, long low, long high, Number& target)
{
    long value = 0;
    if (!ParseWhole(text, low, high, value)) {
        return false;
    }
    target = static_cast<Number>(value);
    return true;
}

using OptionHandler = std::function<bool(const std::string&, ForgerOptions&)>;

constexpr long kMaxRate = 1000000;
constexpr long kMaxLocationBytes = 60000;
constexpr std::size_t kMaxUsnBytes = 512;

// A USN fits one header line: printable, no spaces.
bool AssignUsn(const std::string& text, ForgerOptions& options)
{
    const bool printable = std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < '\x7f'; });
    if (!printable || text.empty() || text.size() > kMaxUsnBytes) {
        return false;
    }
    options.usn = text;
    return true;
}

bool AssignNotifyKind(const std::string& text, ForgerOptions& options)
{
    const std::map<std::string, NotifyKind> kinds = {{"alive", NotifyKind::Alive}, {"byebye", NotifyKind::Byebye}};
    const auto kind = kinds.find(text);
    if (kind == kinds.end()) {
        return false;
    }
    options.notify = kind->second;
    return true;
}

const std::map<std::string, OptionHandler>& ValueOptions()
{
    static const std::map<std::string, OptionHandler> handlers = {
        {"--interface", [](const std::string& v, ForgerOptions& o) { return !(o.interfaceName = v).empty(); }},
        {"--source", ParseSources},
        {"--avoid", ParseRange},
        {"--location",
         [](const std::string& v, ForgerOptions& o) {
             std::uint32_t host = 0;
             if (v == "self") {
                 o.locationHost.reset();
                 return true;
             }
             if (!ParseAddress(v, host)) {
                 return false;
             }
             o.locationHost = in_addr{htonl(host)};
             return true;
         }},
        {"--self-every",
         [](const std::string& v, ForgerOptions& o) { return AssignWhole(v, 1, kMaxRate, o.selfEvery); }},
        {"--location-bytes",
         [](const std::string& v, ForgerOptions& o) { return AssignWhole(v, 1, kMaxLocationBytes, o.locationBytes); }},
        {"--rate", [](const std::string& v, ForgerOptions& o) { return AssignWhole(v, 1, kMaxRate, o.rate); }},
        {"--duration-ms",
         [](const std::string& v, ForgerOptions& o) { return AssignWhole(v, 1, 600000, o.durationMs); }},
        {"--lifetime",
         [](const std::string& v, ForgerOptions& o) { return AssignWhole(v, 1, 3600, o.lifetimeSeconds); }},
        {"--usn", AssignUsn},
        {"--notify", AssignNotifyKind},
        {"--report", [](const std::string& v, ForgerOptions& o) { return !(o.reportPath = v).empty(); }},
        {"--ready-file", [](const std::string& v, ForgerOptions& o) { return !(o.readyPath = v).empty(); }},
    };
    return handlers;
}

std::optional<ForgerOptions> ParseOptions(int argc, char** argv)
{
    ForgerOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--new-ports") {
            options.newPorts = true;
            continue;
        }
        if (name == "--on-search") {
            options.onSearch = true;
            continue;
        }
        if (name == "--boot-id-each") {
            options.bootIdEach = true;
            continue;
        }
        const auto handler = ValueOptions().find(name);
        if (handler == ValueOptions().end() || i + 1 >= argc || !handler->second(argv[i + 1], options)) {
            std::fprintf(stderr, "seekwell-ssdp-forger: bad option %s %s\n", argv[i], i + 1 < argc ? argv[i + 1] : "");
            return std::nullopt;
        }
        ++i;
    }
    if (options.interfaceName.empty() || options.sourceFirst == 0 ||
        ((options.onSearch || options.bootIdEach) && options.notify == NotifyKind::None)) {
        std::fprintf(
            stderr,
            "usage: seekwell-ssdp-forger --interface IF --source A.B.C.D[/LEN] [--avoid A.B.C.D[-A.B.C.D]]...\n"
            "  [--location self|A.B.C.D] [--self-every N] [--location-bytes N] [--new-ports]\n"
            "  [--usn USN] [--notify alive|byebye [--on-search] [--boot-id-each]]\n"
            "  [--rate N --duration-ms MS] [--lifetime S] [--report FILE] [--ready-file FILE]\n");
        return std::nullopt;
    }
    return options;
}

// The forged senders in turn: every address of the block but the avoided ones, then again; with
// new ports, the port moves on each time the addresses wrap around.
class SourcePlan {
public:
    explicit SourcePlan(const ForgerOptions& options) : options_(options), next_(options.sourceFirst) {}

    bool Empty()
    {
        for (std::uint32_t host = options_.sourceFirst; host <= options_.sourceLast; ++host) {
            if (!Avoided(host)) {
                return false;
            }
        }
        return true;
    }

    sockaddr_in Next()
    {
        while (Avoided(next_)) {
            Advance();
        }
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(next_);
        source.sin_port = htons(port_);
        Advance();
        return source;
    }

private:
    bool Avoided(std::uint32_t host) const
    {
        for (const HostRange& range : options_.avoided) {
            if (host >= range.first && host <= range.last) {
                return true;
            }
        }
        return false;
    }

    void Advance()
    {
        if (++next_ <= options_.sourceLast) {
            return;
        }
        next_ = options_.sourceFirst;
        if (options_.newPorts) {
            port_ =
                port_ == UINT16_MAX || port_ < kFirstNewPort ? kFirstNewPort : static_cast<std::uint16_t>(port_ + 1);
        }
    }

    const ForgerOptions& options_;
    std::uint32_t next_;
    std::uint16_t port_ = kSsdpPort;
};

// The LOCATION line: it names the sender or the host given, padded to the length given.
std::string LocationLine(const ForgerOptions& options, in_addr sender, bool namesSender)
{
    const in_addr named = namesSender || !options.locationHost ? sender : *options.locationHost;
    std::string location = "LOCATION: http://" + Text(named) + "/ROVA.XML";
    if (location.size() + 1 < options.locationBytes) {
        location += "?";
        location.append(options.locationBytes - location.size(), 'x');
    }
    return location;
}

std::string UsnText(const ForgerOptions& options, std::uint64_t serial)
{
    return options.usn.empty() ? "uuid:R0VA-f0f0-" + std::to_string(serial) + "::upnp:rootdevice" : options.usn;
}

std::string ReplyText(const ForgerOptions& options, in_addr sender, bool namesSender, std::uint64_t serial)
{
    return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\n" + LocationLine(options, sender, namesSender) +
           "\r\nSERVER: Linux/6 UPnP/1.0 Forger/1\r\nST: upnp:rootdevice\r\nUSN: " + UsnText(options, serial) +
           "\r\n\r\n";
}

// 1 as the simulator's robots start; with --boot-id-each a new one each time, from 2 on.
std::string BootIdText(const ForgerOptions& options, std::uint64_t serial)
{
    constexpr std::uint64_t kFirstNewBootId = 2;
    constexpr std::uint64_t kBootIds = std::uint64_t{1} << 31;  // BOOTID.UPNP.ORG is 31-bit
    return std::to_string(options.bootIdEach ? (kFirstNewBootId + serial) % kBootIds : 1);
}

// An announcement as a device makes it; a byebye names no LOCATION.
std::string NotifyText(const ForgerOptions& options, in_addr sender, bool namesSender, std::uint64_t serial)
{
    const bool alive = options.notify == NotifyKind::Alive;
    std::string text =
        std::string("NOTIFY * HTTP/1.1\r\nHOST: ") + kSsdpGroup + ":" + std::to_string(kSsdpPort) + "\r\n";
    if (alive) {
        text += "CACHE-CONTROL: max-age=1800\r\n" + LocationLine(options, sender, namesSender) + "\r\n";
    }
    text += alive ? "NT: upnp:rootdevice\r\nNTS: ssdp:alive\r\nSERVER: Linux/6 UPnP/1.0 Forger/1\r\n"
                  : "NT: upnp:rootdevice\r\nNTS: ssdp:byebye\r\n";
    return text + "USN: " + UsnText(options, serial) + "\r\nBOOTID.UPNP.ORG: " + BootIdText(options, serial) +
           "\r\nCONFIGID.UPNP.ORG: 1\r\n\r\n";
}

// Raw IPv4 packets, batched for sendmmsg. The kernel fills in the IP checksum; the UDP checksum
// is left 0 (none), which IPv4 allows.
class RawSender {
public:
    bool Open(const std::string& interfaceName)
    {
        fd_.Reset(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
        const int on = 1;
        ifreq request{};
        std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interfaceName.c_str());
        if (!fd_.Valid() || ::setsockopt(fd_.Get(), IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0 ||
            ::ioctl(fd_.Get(), SIOCGIFMTU, &request) != 0) {
            return false;
        }
        mtu_ = static_cast<std::size_t>(request.ifr_mtu);
        return mtu_ > kIpHeaderBytes + kUdpHeaderBytes;
    }

    // Queues one datagram, as fragments when it does not fit the MTU.
    void Queue(const sockaddr_in& from, const sockaddr_in& to, const std::string& payload)
    {
        std::string datagram(kUdpHeaderBytes, '\0');
        udphdr udp{};
        udp.source = from.sin_port;
        udp.dest = to.sin_port;
        udp.len = htons(static_cast<std::uint16_t>(kUdpHeaderBytes + payload.size()));
        std::memcpy(datagram.data(), &udp, sizeof udp);
        datagram += payload;
        // Fragment offsets count 8-byte units.
        const std::size_t room = (mtu_ - kIpHeaderBytes) / 8 * 8;
        const std::uint16_t id = ++packetId_;
        for (std::size_t offset = 0; offset < datagram.size(); offset += room) {
            const std::size_t size = std::min(room, datagram.size() - offset);
            const bool more = offset + size < datagram.size();
            QueuePacket(from.sin_addr, to, id, offset, more, datagram.substr(offset, size));
        }
    }

    // Sends what is queued; counts the packets the kernel took and refused.
    void Flush(std::uint64_t& sent, std::uint64_t& failed)
    {
        std::vector<iovec> pieces(packets_.size());
        std::vector<mmsghdr> messages(packets_.size());
        for (std::size_t i = 0; i < packets_.size(); ++i) {
            pieces[i] = iovec{packets_[i].bytes.data(), packets_[i].bytes.size()};
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_name = &packets_[i].to;
            messages[i].msg_hdr.msg_namelen = sizeof packets_[i].to;
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        std::size_t done = 0;
        // A packet the kernel refuses is counted and passed over, not resent.
        while (done < messages.size()) {
            const int taken = ::sendmmsg(fd_.Get(), &messages[done], static_cast<unsigned>(messages.size() - done), 0);
            if (taken <= 0) {
                ++failed;
                ++done;
                continue;
            }
            sent += static_cast<std::uint64_t>(taken);
            done += static_cast<std::size_t>(taken);
        }
        packets_.clear();
    }

    std::size_t Queued() const { return packets_.size(); }

    // Multicast leaves by the interface, whatever the routes say.
    bool MulticastBy(const std::string& interfaceName)
    {
        ip_mreqn outgoing{};
        outgoing.imr_ifindex = static_cast<int>(if_nametoindex(interfaceName.c_str()));
        return outgoing.imr_ifindex != 0 &&
               ::setsockopt(fd_.Get(), IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0;
    }

private:
    struct Packet {
        std::string bytes;
        sockaddr_in to;
    };

    void QueuePacket(in_addr from, const sockaddr_in& to, std::uint16_t id, std::size_t offset, bool more,
                     const std::string& piece)
    {
        iphdr ip{};
        ip.version = 4;
        ip.ihl = kIpHeaderBytes / 4;
        ip.tot_len = htons(static_cast<std::uint16_t>(kIpHeaderBytes + piece.size()));
        ip.id = htons(id);
        ip.frag_off = htons(static_cast<std::uint16_t>((offset / 8) | (more ? IP_MF : 0)));
        ip.ttl = kTimeToLive;
        ip.protocol = IPPROTO_UDP;
        ip.saddr = from.s_addr;
        ip.daddr = to.sin_addr.s_addr;
        std::string bytes(reinterpret_cast<const char*>(&ip), sizeof ip);
        bytes += piece;
        packets_.push_back(Packet{std::move(bytes), to});
    }

    UniqueFd fd_;
    std::size_t mtu_ = 0;
    std::uint16_t packetId_ = 0;
    std::vector<Packet> packets_;
};

UniqueFd OpenSearchListener(const std::string& interfaceName)
{
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kSsdpPort);
    ip_mreqn membership{};
    inet_pton(AF_INET, kSsdpGroup, &membership.imr_multiaddr);
    membership.imr_ifindex = static_cast<int>(if_nametoindex(interfaceName.c_str()));
    if (!fd.Valid() || membership.imr_ifindex == 0 ||
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::setsockopt(fd.Get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        fd.Reset();
    }
    return fd;
}

struct ForgerCounts {
    std::uint64_t searches = 0;
    std::uint64_t replies = 0;  // datagrams
    std::uint64_t packets = 0;  // taken by the kernel, fragments each
    std::uint64_t failed = 0;   // packets refused
    double seconds = 0;         // of the flood
    std::string target;         // the searcher flooded, or the last one answered
};

class Forger {
public:
    explicit Forger(const ForgerOptions& options) : options_(options), sources_(options) {}

    bool Open()
    {
        listener_ = OpenSearchListener(options_.interfaceName);
        if (!listener_.Valid() || !sender_.Open(options_.interfaceName)) {
            std::fprintf(stderr, "seekwell-ssdp-forger: cannot listen or send on %s: %s\n",
                         options_.interfaceName.c_str(), std::strerror(errno));
            return false;
        }
        if (Notifying() && (!OnlyTestNetsOn(options_.interfaceName) || !sender_.MulticastBy(options_.interfaceName))) {
            std::fprintf(stderr, "seekwell-ssdp-forger: will not multicast on %s: it must have addresses of %s\n",
                         options_.interfaceName.c_str(), "192.0.2.0/24 or 198.18.0.0/15 only");
            return false;
        }
        if (sources_.Empty()) {
            std::fprintf(stderr, "seekwell-ssdp-forger: every source is avoided\n");
            return false;
        }
        return true;
    }

    // Until the flood is out, or the lifetime is over.
    void Run()
    {
        const Clock::time_point end = Clock::now() + std::chrono::seconds(options_.lifetimeSeconds);
        if (Notifying() && !options_.onSearch) {
            StartFlood(GroupEndpoint());
        }
        while (!g_stopRequested && Clock::now() < end && !FloodOver()) {
            TakeSearches();
            if (!floodStart_) {
                pollfd watched{listener_.Get(), POLLIN, 0};
                ::poll(&watched, 1, static_cast<int>(kIdlePoll.count()));
                continue;
            }
            SendDueFlood();
            NapUntilDue();
        }
    }

    const ForgerCounts& Counts() const { return counts_; }

    bool Notifying() const { return options_.notify != NotifyKind::None; }

private:
    bool FloodOver() const { return floodStart_ && counts_.replies == FloodTotal(); }

    std::uint64_t FloodTotal() const
    {
        if (Notifying() && options_.rate == 0) {
            return 1;
        }
        return static_cast<std::uint64_t>(std::llround(options_.rate * options_.durationMs / 1000.0));
    }

    void TakeSearches()
    {
        char datagram[kReceiveBytes];
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t size = ::recvfrom(listener_.Get(), datagram, sizeof datagram, 0,
                                            reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (size < 0) {
                return;
            }
            if (std::string_view(datagram, static_cast<std::size_t>(size)).substr(0, kSearchRequestLine.size()) !=
                    kSearchRequestLine ||
                !InTestNet(from.sin_addr)) {
                continue;
            }
            ++counts_.searches;
            if (Notifying()) {
                if (options_.onSearch) {
                    StartFlood(GroupEndpoint());
                }
            } else if (options_.rate > 0) {
                StartFlood(from);
            } else {
                counts_.target = EndpointText(from);
                QueueForged(from);
                sender_.Flush(counts_.packets, counts_.failed);
            }
        }
    }

    void StartFlood(const sockaddr_in& searcher)
    {
        if (floodStart_) {
            return;
        }
        floodStart_ = Clock::now();
        target_ = searcher;
        counts_.target = EndpointText(searcher);
    }

    // A reply to the searcher, or an announcement to the group.
    void QueueForged(const sockaddr_in& to)
    {
        const sockaddr_in from = sources_.Next();
        const bool namesSender = options_.selfEvery > 0 && counts_.replies % options_.selfEvery == 0;
        const auto text = Notifying() ? NotifyText : ReplyText;
        sender_.Queue(from, to, text(options_, from.sin_addr, namesSender, counts_.replies));
        ++counts_.replies;
    }

    void SendDueFlood()
    {
        const double elapsed = std::chrono::duration<double>(Clock::now() - *floodStart_).count();
        const std::uint64_t due = std::min(FloodTotal(), static_cast<std::uint64_t>(elapsed * options_.rate) + 1);
        while (counts_.replies < due) {
            QueueForged(target_);
            if (sender_.Queued() >= kBatchPackets) {
                sender_.Flush(counts_.packets, counts_.failed);
            }
        }
        sender_.Flush(counts_.packets, counts_.failed);
        if (FloodOver()) {
            counts_.seconds = std::chrono::duration<double>(Clock::now() - *floodStart_).count();
        }
    }

    void NapUntilDue() const
    {
        if (FloodOver()) {
            return;
        }
        const auto nextDue = *floodStart_ + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(counts_.replies / options_.rate));
        std::this_thread::sleep_until(std::min(nextDue, Clock::now() + kLongestNap));
    }

    const ForgerOptions& options_;
    SourcePlan sources_;
    RawSender sender_;
    UniqueFd listener_;
    std::optional<Clock::time_point> floodStart_;
    sockaddr_in target_{};
    ForgerCounts counts_;
};

bool WriteReport(const std::string& path, const ForgerCounts& counts, bool notifying)
{
    if (path.empty()) {
        return true;
    }
    std::ofstream report(path);
    report << "target " << counts.target << "\nsearches " << counts.searches
           << (notifying ? "\nforged_notifies " : "\nforged_replies ") << counts.replies << "\nforged_packets "
           << counts.packets << "\nforged_failed " << counts.failed << "\nforged_seconds " << counts.seconds << "\n";
    return static_cast<bool>(report);
}

// Written under a temporary name and renamed, so a waiting script never reads half a file.
bool WriteReadyFile(const std::string& path)
{
    if (path.empty()) {
        return true;
    }
    const std::string temporary = path + ".tmp";
    std::ofstream(temporary) << "ready\n";
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace
}  // namespace ssdpforger

int main(int argc, char** argv)
{
    const auto options = ssdpforger::ParseOptions(argc, argv);
    if (!options) {
        return 2;
    }
    ssdpforger::Forger forger(*options);
    ssdpforger::InstallSignalHandlers();
    if (!forger.Open() || !ssdpforger::WriteReadyFile(options->readyPath)) {
        return 1;
    }
    forger.Run();
    return ssdpforger::WriteReport(options->reportPath, forger.Counts(), forger.Notifying()) ? 0 : 1;
}
