// Texts a search meets on a real network: SSDP replies and device
// descriptions, padded to the sizes the benchmarks ask for.
#ifndef ROVA_BENCH_SAMPLE_TEXTS_H
#define ROVA_BENCH_SAMPLE_TEXTS_H

#include <cstddef>
#include <string>

namespace bench {

constexpr std::size_t kTypicalReplyBytes = 300;
// IPv4 carries at most 65535 - 20 (IP header) - 8 (UDP header) payload bytes.
constexpr std::size_t kLargestUdpPayloadBytes = 65507;
constexpr std::size_t kTypicalDescriptionBytes = 2048;
constexpr std::size_t kLargestReadDescriptionBytes = 4069;

// A robot's answer to the M-SEARCH, locating its description at host.
std::string RobotReply(const std::string& host, std::size_t bytes);
// Another UPnP device's answer: no product marker.
std::string OtherDeviceReply(const std::string& host, std::size_t bytes);

// A device description whose fields follow the usual order, with the
// presentation URL after the service list; udn decides whether it is a robot.
std::string DescriptionDocument(const std::string& udn, const std::string& friendlyName, std::size_t bytes);

}  // namespace bench

#endif  // ROVA_BENCH_SAMPLE_TEXTS_H
