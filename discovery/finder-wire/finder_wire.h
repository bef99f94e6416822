// What the library and its finder helper agree on: where the helper lies, how
// it is started, the request it is given, and the stream in which it hands
// over the devices it found.
//
// A search helper is started first and given its search afterwards, so that
// a helper that cannot be started is known before any search is asked of it.
// The request is one line on descriptor kHelperRequestFd:
//
//   request = device-type ' ' window [' ' sent-at] '\n'
//             (window: decimal milliseconds, counted from sent-at, the moment
//             the library wrote the line, in milliseconds of CLOCK_MONOTONIC,
//             which both processes read alike; without it, from the line's
//             arrival. At most kMaxRequestBytes in all.) The helper's own
//             start-up thus falls inside the window, not after it.
//
// The helper writes one stream to descriptor kHelperStreamFd and exits 0:
//
//   stream = magic device* end
//   magic  = "SWFS" version            (kStreamMagic, 5 bytes)
//   device = 'D' field field field     (friendly name, presentation URL,
//                                       model description, in this order)
//   field  = length bytes              (length: 32-bit little-endian, at most
//                                       kMaxFieldBytes; bytes: no NUL)
//   end    = 'E' count                 (count: 32-bit little-endian, the
//                                       number of device frames before it)
//
// At most kMaxDevices devices, and the whole stream at most kMaxStreamBytes.
// Anything else, or anything after the end frame, makes the stream invalid.
#ifndef SEEKWELL_FINDER_WIRE_H
#define SEEKWELL_FINDER_WIRE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace seekwell::finder_wire {

// Relative to the directory of the module that holds the library's code.
constexpr const char kHelperRelativePath[] = "seekwell/seekwell-finder-gupnp";

// argv: helper kProbeArgument
//   writes an empty stream at once and exits: the helper and the UPnP stack
//   it links are installed and can run here.
// argv: helper kSearchArgument
//   reads its request, searches for that long, then writes what it found.
constexpr const char kProbeArgument[] = "--probe";
constexpr const char kSearchArgument[] = "--search";

// The request's descriptor in the helper (a local socket the library writes
// the request to and then closes) and the stream's; 1 and 2 are /dev/null.
constexpr int kHelperRequestFd = 0;
constexpr int kHelperStreamFd = 3;
constexpr char kRequestSeparator = ' ';
constexpr char kRequestEnd = '\n';
constexpr std::size_t kMaxRequestBytes = 512;

constexpr char kStreamMagic[] = {'S', 'W', 'F', 'S', 1};
constexpr std::size_t kStreamMagicSize = sizeof(kStreamMagic);
constexpr char kDeviceTag = 'D';
constexpr char kEndTag = 'E';
constexpr std::size_t kLengthSize = 4;
constexpr std::size_t kFieldsPerDevice = 3;

// Well above any text the library keeps (its names are cut far shorter),
// so that the cut the helper makes never shows in a result.
constexpr std::size_t kMaxFieldBytes = 64 * 1024;
constexpr std::size_t kMaxDevices = 4096;
constexpr std::size_t kMaxStreamBytes = 4 * 1024 * 1024;
constexpr std::size_t kEndFrameSize = 1 + kLengthSize;

inline void AppendLength(std::string& stream, std::uint32_t value)
{
    for (std::size_t i = 0; i < kLengthSize; ++i) {
        stream.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

inline std::uint32_t ReadLength(const char* bytes)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < kLengthSize; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    }
    return value;
}

inline long long MonotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline std::string SearchRequest(const std::string& deviceType, unsigned int windowMs)
{
    return deviceType + kRequestSeparator + std::to_string(windowMs) + kRequestSeparator +
           std::to_string(MonotonicMs()) + kRequestEnd;
}

inline void AppendMagic(std::string& stream) { stream.append(kStreamMagic, kStreamMagicSize); }

// The caller keeps each field within kMaxFieldBytes and free of NUL.
inline void AppendDevice(std::string& stream, const std::string& friendlyName, const std::string& presentationUrl,
                         const std::string& description)
{
    stream.push_back(kDeviceTag);
    for (const std::string* field : {&friendlyName, &presentationUrl, &description}) {
        AppendLength(stream, static_cast<std::uint32_t>(field->size()));
        stream.append(*field);
    }
}

inline void AppendEnd(std::string& stream, std::uint32_t deviceCount)
{
    stream.push_back(kEndTag);
    AppendLength(stream, deviceCount);
}

}  // namespace seekwell::finder_wire

#endif  // SEEKWELL_FINDER_WIRE_H
