// The finder helper's stream as the library reads it from the pipe: any
// bytes, cut into pieces of any size.
//
// Input: one byte n (taken modulo kMaxPieceSizes + 1), then n piece sizes of
// one byte each (0 stands for 256), then the stream. The stream is fed in
// pieces of those sizes, cycling; with n = 0 it is fed whole.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "finder/helper_stream_reader.h"
#include "finder_wire.h"

namespace {

namespace hp = seekwell::finder_wire;
using seekwell::DeviceList;
using seekwell::HelperStreamReader;
using State = HelperStreamReader::State;

constexpr std::size_t kMaxPieceSizes = 16;
constexpr std::size_t kLargestPiece = 256;

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// Invalid is final, and a Complete stream can only turn Invalid.
void RequireStep(State before, State after)
{
    Require(before != State::Invalid || after == State::Invalid);
    Require(before != State::Complete || after != State::Reading);
}

struct Result {
    State state;
    DeviceList devices;
};

Result FeedWhole(const std::string& stream)
{
    HelperStreamReader reader;
    const State fed = reader.Feed(stream.data(), stream.size());
    const State finished = reader.Finish();
    RequireStep(fed, finished);
    return {finished, reader.TakeDevices()};
}

Result FeedInPieces(const std::string& stream, const std::uint8_t* sizes, std::size_t sizeCount)
{
    HelperStreamReader reader;
    State state = reader.GetState();
    for (std::size_t at = 0, piece = 0; at < stream.size(); ++piece) {
        const std::size_t size = std::min<std::size_t>(
            sizes[piece % sizeCount] == 0 ? kLargestPiece : sizes[piece % sizeCount], stream.size() - at);
        const State next = reader.Feed(stream.data() + at, size);
        Require(next == reader.GetState());
        RequireStep(state, next);
        state = next;
        // Nothing is handed out before the stream is whole.
        Require(state == State::Complete || reader.TakeDevices().empty());
        at += size;
    }
    const State finished = reader.Finish();
    RequireStep(state, finished);
    return {finished, reader.TakeDevices()};
}

bool FieldIsSound(const std::string& field)
{
    return field.size() <= hp::kMaxFieldBytes && field.find('\0') == std::string::npos;
}

// A Complete stream holds sound devices and nothing but them: written again,
// they give back exactly the stream.
void CheckResult(const Result& result, const std::string& stream)
{
    if (result.state != State::Complete) {
        Require(result.devices.empty());
        return;
    }
    Require(result.devices.size() <= hp::kMaxDevices && stream.size() <= hp::kMaxStreamBytes);
    std::string written;
    hp::AppendMagic(written);
    for (const seekwell::DeviceProperties& device : result.devices) {
        Require(FieldIsSound(device.friendlyName) && FieldIsSound(device.presentationUrl) &&
                FieldIsSound(device.description));
        hp::AppendDevice(written, device.friendlyName, device.presentationUrl, device.description);
    }
    hp::AppendEnd(written, static_cast<std::uint32_t>(result.devices.size()));
    Require(written == stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t sizeCount = std::min<std::size_t>(data[0] % (kMaxPieceSizes + 1), size - 1);
    const std::uint8_t* sizes = data + 1;
    const std::string stream(reinterpret_cast<const char*>(sizes + sizeCount), size - 1 - sizeCount);

    const Result whole = FeedWhole(stream);
    CheckResult(whole, stream);
    if (sizeCount == 0) {
        return 0;
    }
    // However the stream is cut, the reader comes to the same end.
    const Result pieces = FeedInPieces(stream, sizes, sizeCount);
    CheckResult(pieces, stream);
    Require(pieces.state == whole.state && pieces.devices.size() == whole.devices.size());
    return 0;
}
