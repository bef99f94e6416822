#include "helper_stream_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "finder_wire.h"

namespace seekwell {

namespace hp = finder_wire;

namespace {

// A UTF-8 character has at most three bytes after its first; a longer run of
// continuation bytes is no text, and is cut where the bound falls.
constexpr std::size_t kMaxContinuationBytes = 3;

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::size_t DeviceFrameSize(const FoundDevice& device)
{
    return 1 + hp::kFieldsPerDevice * hp::kLengthSize + device.friendlyName.size() + device.presentationUrl.size() +
           device.description.size();
}

}  // namespace

std::string CutField(const std::string& text)
{
    if (text.size() <= hp::kMaxFieldBytes) {
        return text;
    }
    // text[size] is the first byte left out: while it continues a character,
    // that character's earlier bytes go too.
    std::size_t size = hp::kMaxFieldBytes;
    std::size_t stepped = 0;
    while (stepped < kMaxContinuationBytes && size > 0 && IsContinuationByte(text[size])) {
        --size;
        ++stepped;
    }
    if (IsContinuationByte(text[size])) {
        size = hp::kMaxFieldBytes;
    }
    return text.substr(0, size);
}

std::string BuildStream(const FoundDeviceList& devices)
{
    std::string stream;
    hp::AppendMagic(stream);
    std::uint32_t count = 0;
    for (const FoundDevice& found : devices) {
        if (count == hp::kMaxDevices) {
            break;
        }
        const FoundDevice device{CutField(found.friendlyName), CutField(found.presentationUrl),
                                 CutField(found.description)};
        if (stream.size() + DeviceFrameSize(device) + hp::kEndFrameSize > hp::kMaxStreamBytes) {
            break;
        }
        hp::AppendDevice(stream, device.friendlyName, device.presentationUrl, device.description);
        ++count;
    }
    hp::AppendEnd(stream, count);
    return stream;
}

bool WriteAll(int fd, const std::string& data)
{
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = write(fd, data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace seekwell
