// The fixed numbers of a discovery. Nothing configures them at run time.
#ifndef SEEKWELL_SEARCH_CONSTANTS_H
#define SEEKWELL_SEARCH_CONSTANTS_H

#include <seekwell/seekwell.h>

#include <cstddef>
#include <cstdint>

namespace seekwell {

// Caller's result array, address table, device table and finder slots.
constexpr int kMaxResults = SEEKWELL_MAX_RESULTS;

// Result of a call that made no search at all.
constexpr int kNoSearch = SEEKWELL_NO_SEARCH;

// Platform probe: the answer for which no search is made, and the answer
// given where the platform has no version record to read.
constexpr int kProbeAnswerNoSearch = 2;
constexpr int kProbeAnswerUnknown = -1;

// SSDP
constexpr const char kSsdpMulticastGroup[] = "239.255.255.250";
constexpr std::uint16_t kSsdpPort = 1900;
constexpr unsigned int kSearchWindowMs = SEEKWELL_SEARCH_WINDOW_MS;
constexpr const char kMSearchDatagram[] =
    "M-SEARCH * HTTP/1.1\r\n"
    "Host:239.255.255.250:1900\r\n"
    "ST:upnp:rootdevice\r\n"
    "Man:\"ssdp:discover\"\r\n"
    "MX:10\r\n"
    "\r\n";
constexpr std::size_t kMSearchDatagramSize = sizeof(kMSearchDatagram) - 1;
static_assert(kMSearchDatagramSize == 98, "the M-SEARCH datagram is 98 bytes");

// Receive worker buffers.
constexpr std::size_t kReceiveBufferSize = 65536;
constexpr std::size_t kMaxDatagramSize = 65535;
constexpr std::size_t kAddressSlotSize = 256;

// Markers
constexpr const char kSsdpReplyMarker[] = "R0VA";  // in SSDP replies and UDNs
constexpr const char kLocationPrefix[] = "LOCATION: http://";
constexpr const char kFinderRobotWord[] = "ROVA";  // in finder description texts

// Description fetch
constexpr const char kDescriptionFile[] = "ROVA.XML";
constexpr const char kUrlFormat[] = "http://%s/%s";
constexpr const char kHttpUserAgent[] = "ROVA Session";
constexpr std::uint16_t kHttpPort = 80;
constexpr long kConnectTimeoutMs = 30000;
constexpr long kReceiveTimeoutMs = 30000;
constexpr long kWholeFetchCapMs = kConnectTimeoutMs + kReceiveTimeoutMs;
constexpr std::size_t kDescriptionMaxBytes = 4069;
// The live search reads further, so that a long name before the UDN hides no
// robot: room for a name the finder path would report, and the rest.
constexpr std::size_t kLiveDescriptionMaxBytes = 16384;
constexpr std::size_t kUdnKeptChars = 13;
// Only an address text with exactly this many dots is reported.
constexpr int kDotsInIpv4Address = 3;

// Finder path
constexpr const char kFinderDeviceType[] = "upnp:rootdevice";
constexpr std::size_t kNarrowTextMaxChars = 2047;
// After the window the helper has this long to hand over what it found and
// exit before it is killed; covers its start-up and its UPnP stack's teardown.
constexpr unsigned int kFinderHelperGraceMs = 1000;
// How long the path choice waits for the helper to show that it runs here.
constexpr unsigned int kFinderProbeLimitMs = 1000;

}  // namespace seekwell

#endif  // SEEKWELL_SEARCH_CONSTANTS_H
