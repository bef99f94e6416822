// The fixed numbers of a discovery. Nothing configures them at run time.
#ifndef SEEKWELL_SEARCH_CONSTANTS_H
#define SEEKWELL_SEARCH_CONSTANTS_H

#include <cstddef>
#include <cstdint>

namespace seekwell {

// Caller's result array, address table, device table and finder slots.
constexpr int kMaxResults = 16;

// SSDP
constexpr const char kSsdpMulticastGroup[] = "239.255.255.250";
constexpr std::uint16_t kSsdpPort = 1900;
constexpr unsigned int kSearchWindowMs = 10000;

// Receive worker buffers.
constexpr std::size_t kReceiveBufferSize = 65536;
constexpr std::size_t kMaxDatagramSize = 65535;
constexpr std::size_t kAddressSlotSize = 256;

// Markers
constexpr const char kSsdpReplyMarker[] = "R0VA";   // in SSDP replies and UDNs
constexpr const char kLocationPrefix[] = "LOCATION: http://";
constexpr const char kFinderRobotWord[] = "ROVA";   // in finder description texts

// Description fetch
constexpr const char kDescriptionFile[] = "ROVA.XML";
constexpr const char kUrlFormat[] = "http://%s/%s";
constexpr const char kHttpUserAgent[] = "ROVA Session";
constexpr std::uint16_t kHttpPort = 80;
constexpr long kConnectTimeoutMs = 30000;
constexpr long kReceiveTimeoutMs = 30000;
constexpr long kWholeFetchCapMs = kConnectTimeoutMs + kReceiveTimeoutMs;
constexpr std::size_t kDescriptionMaxBytes = 4069;
constexpr std::size_t kUdnKeptChars = 13;

// Finder path
constexpr const char kFinderDeviceType[] = "upnp:rootdevice";
constexpr std::size_t kNarrowTextMaxChars = 2047;

}  // namespace seekwell

#endif  // SEEKWELL_SEARCH_CONSTANTS_H
