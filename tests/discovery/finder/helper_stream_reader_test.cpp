// The reader of the finder helper's stream, over streams written with the
// protocol's own helpers and over hand-broken bytes, fed whole, one byte at a
// time and split in two at every place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "finder/helper_stream_reader.h"
#include "finder_wire.h"

namespace seekwell::test {
namespace {

namespace hp = finder_wire;
using State = HelperStreamReader::State;

// Splitting at every place costs a reader per place; longer streams are fed
// whole and in pieces of this size instead.
constexpr std::size_t kSplitEverywhereBytes = 2048;
constexpr std::size_t kPieceBytes = 4093;

std::string Magic()
{
    std::string stream;
    hp::AppendMagic(stream);
    return stream;
}

std::string End(std::uint32_t count)
{
    std::string stream;
    hp::AppendEnd(stream, count);
    return stream;
}

std::string Device(const DeviceProperties& device)
{
    std::string stream;
    hp::AppendDevice(stream, device.friendlyName, device.presentationUrl, device.description);
    return stream;
}

std::string Length(std::uint32_t value)
{
    std::string bytes;
    hp::AppendLength(bytes, value);
    return bytes;
}

std::string Stream(const DeviceList& devices)
{
    std::string stream = Magic();
    for (const DeviceProperties& device : devices) {
        stream += Device(device);
    }
    return stream + End(static_cast<std::uint32_t>(devices.size()));
}

DeviceProperties Robot(int index)
{
    return {"robot " + std::to_string(index), "http://192.0.2." + std::to_string(10 + index) + "/",
            "ROVA walking robot"};
}

const DeviceList kThreeRobots = {
    Robot(0),
    {"", "", ""},
    {"\xe3\x81\x82\xff\x80 robot", "http://192.0.2.12:8080/app/index.html", "E D \x01\x7f"},
};

DeviceList Robots(std::size_t count)
{
    DeviceList devices;
    for (std::size_t i = 0; i < count; ++i) {
        devices.push_back(Robot(static_cast<int>(i % 200)));
    }
    return devices;
}

bool SameDevices(const DeviceList& a, const DeviceList& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.friendlyName == y.friendlyName && x.presentationUrl == y.presentationUrl &&
               x.description == y.description;
    });
}

struct Outcome {
    State afterFeed;
    State afterFinish;
    DeviceList devices;
};

// Feeds the pieces in order, then finishes. Once Invalid, no later piece may
// bring the reader back, and the devices are only handed out when Complete.
Outcome Read(const std::vector<std::string>& pieces)
{
    HelperStreamReader reader;
    bool invalidSeen = false;
    for (const std::string& piece : pieces) {
        const State state = reader.Feed(piece.data(), piece.size());
        EXPECT_EQ(state, reader.GetState());
        EXPECT_TRUE(!invalidSeen || state == State::Invalid) << "left Invalid";
        invalidSeen = invalidSeen || state == State::Invalid;
    }
    Outcome outcome{reader.GetState(), reader.Finish(), {}};
    EXPECT_EQ(outcome.afterFinish, reader.GetState());
    outcome.devices = reader.TakeDevices();
    if (outcome.afterFinish != State::Complete) {
        EXPECT_TRUE(outcome.devices.empty()) << outcome.devices.size() << " devices from a stream that is not Complete";
    }
    return outcome;
}

std::vector<std::string> Pieces(const std::string& stream, std::size_t pieceBytes)
{
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < stream.size(); at += pieceBytes) {
        pieces.push_back(stream.substr(at, pieceBytes));
    }
    return pieces;
}

struct StreamCase {
    const char* name;
    std::string stream;
    State afterFeed;  // once every byte is in
    State afterFinish;
    DeviceList devices;  // when Complete
};

void ExpectOutcome(const StreamCase& c, const Outcome& outcome, const std::string& how)
{
    SCOPED_TRACE(std::string(c.name) + ", fed " + how);
    EXPECT_EQ(outcome.afterFeed, c.afterFeed);
    EXPECT_EQ(outcome.afterFinish, c.afterFinish);
    if (c.afterFinish == State::Complete) {
        EXPECT_EQ(outcome.devices.size(), c.devices.size());
        EXPECT_TRUE(SameDevices(outcome.devices, c.devices));
    }
}

void RunCase(const StreamCase& c)
{
    ExpectOutcome(c, Read({c.stream}), "whole");
    if (c.stream.size() > kSplitEverywhereBytes) {
        ExpectOutcome(c, Read(Pieces(c.stream, kPieceBytes)), "in pieces");
        return;
    }
    ExpectOutcome(c, Read(Pieces(c.stream, 1)), "one byte at a time");
    for (std::size_t at = 1; at < c.stream.size(); ++at) {
        ExpectOutcome(c, Read({c.stream.substr(0, at), c.stream.substr(at)}), "split at " + std::to_string(at));
    }
}

std::vector<StreamCase> SmallCases()
{
    const std::string good = Stream(kThreeRobots);
    const std::string oneRobot = Magic() + Device(Robot(0));
    std::string wrongVersion = good;
    wrongVersion[hp::kStreamMagicSize - 1] = 2;
    std::string nulInField = Stream({Robot(0)});
    nulInField[hp::kStreamMagicSize + 1 + hp::kLengthSize + 2] = '\0';
    return {
        {"empty stream", "", State::Reading, State::Invalid, {}},
        {"magic only", Magic(), State::Reading, State::Invalid, {}},
        {"no devices", Stream({}), State::Complete, State::Complete, {}},
        {"three robots", good, State::Complete, State::Complete, kThreeRobots},
        {"end count too high", Magic() + Device(Robot(0)) + End(2), State::Invalid, State::Invalid, {}},
        {"end count too low",
         Magic() + Device(Robot(0)) + Device(Robot(1)) + End(1),
         State::Invalid,
         State::Invalid,
         {}},
        {"end count zero after a device", oneRobot + End(0), State::Invalid, State::Invalid, {}},
        {"unknown tag", Magic() + "X" + Length(0) + Length(0) + Length(0) + End(1), State::Invalid, State::Invalid, {}},
        {"lower-case tag",
         Magic() + "d" + Length(0) + Length(0) + Length(0) + End(1),
         State::Invalid,
         State::Invalid,
         {}},
        {"NUL inside a field", nulInField, State::Invalid, State::Invalid, {}},
        {"byte after the end", good + "E", State::Invalid, State::Invalid, {}},
        {"second end", good + End(3), State::Invalid, State::Invalid, {}},
        {"device after the end", Stream({}) + Device(Robot(0)), State::Invalid, State::Invalid, {}},
        {"wrong magic", "SWFX" + good.substr(4), State::Invalid, State::Invalid, {}},
        {"magic in other case", "swfs" + good.substr(4), State::Invalid, State::Invalid, {}},
        {"wrong version", wrongVersion, State::Invalid, State::Invalid, {}},
        {"no magic", good.substr(hp::kStreamMagicSize), State::Invalid, State::Invalid, {}},
        {"ends inside the magic", Magic().substr(0, 3), State::Reading, State::Invalid, {}},
        {"ends after a tag", Magic() + "D", State::Reading, State::Invalid, {}},
        {"ends inside a length", Magic() + "D" + Length(5).substr(0, 2), State::Reading, State::Invalid, {}},
        {"ends inside a field", oneRobot.substr(0, oneRobot.size() - 3), State::Reading, State::Invalid, {}},
        {"ends before the end frame", oneRobot, State::Reading, State::Invalid, {}},
        {"ends inside the end frame", oneRobot + End(1).substr(0, 3), State::Reading, State::Invalid, {}},
    };
}

TEST(HelperStreamReader, SmallStreamsFedWholeByteByByteAndSplitAnywhere)
{
    for (const StreamCase& c : SmallCases()) {
        RunCase(c);
    }
}

TEST(HelperStreamReader, FieldAndDeviceBounds)
{
    const std::string longest(hp::kMaxFieldBytes, 'n');
    const DeviceList longFields = {{longest, longest, longest}};
    const std::string overLength = Length(static_cast<std::uint32_t>(hp::kMaxFieldBytes + 1));
    const std::vector<StreamCase> cases = {
        {"fields at the bound", Stream(longFields), State::Complete, State::Complete, longFields},
        {"field one over the bound",
         Magic() + "D" + overLength + std::string(hp::kMaxFieldBytes + 1, 'n') + Length(0) + Length(0) + End(1),
         State::Invalid,
         State::Invalid,
         {}},
        {"field length at its largest", Magic() + "D" + Length(UINT32_MAX) + "n", State::Invalid, State::Invalid, {}},
        {"devices at the bound", Stream(Robots(hp::kMaxDevices)), State::Complete, State::Complete,
         Robots(hp::kMaxDevices)},
        {"one device over the bound", Stream(Robots(hp::kMaxDevices + 1)), State::Invalid, State::Invalid, {}},
    };
    for (const StreamCase& c : cases) {
        RunCase(c);
    }
    // The longest frame, one byte at a time.
    EXPECT_EQ(Read(Pieces(Stream(longFields), 1)).afterFinish, State::Complete);
}

// A length over the bound is refused as soon as it is read, before the reader
// waits for (and keeps) the bytes it announces.
TEST(HelperStreamReader, OverlongLengthRefusedBeforeItsBytes)
{
    for (const std::uint32_t length : {static_cast<std::uint32_t>(hp::kMaxFieldBytes + 1), UINT32_MAX}) {
        HelperStreamReader reader;
        const std::string stream = Magic() + "D" + Length(0) + Length(length);
        EXPECT_EQ(reader.Feed(stream.data(), stream.size()), State::Invalid) << length;
    }
}

// A well-formed stream of exactly kMaxStreamBytes + extra bytes: as few
// devices as hold that much text, the text spread over their fields.
std::string StreamOfSize(std::size_t extra)
{
    const std::size_t total = hp::kMaxStreamBytes + extra;
    const std::size_t frameBytes = 1 + hp::kFieldsPerDevice * hp::kLengthSize;
    const std::size_t roomPerDevice = hp::kFieldsPerDevice * hp::kMaxFieldBytes;
    const std::size_t outside = hp::kStreamMagicSize + hp::kEndFrameSize;
    const std::size_t devices = (total - outside) / (frameBytes + roomPerDevice) + 1;
    std::size_t text = total - outside - devices * frameBytes;
    DeviceList list(devices);
    for (DeviceProperties& device : list) {
        for (std::string* field : {&device.friendlyName, &device.presentationUrl, &device.description}) {
            field->assign(std::min(text, hp::kMaxFieldBytes), 'a');
            text -= field->size();
        }
    }
    return Stream(list);
}

TEST(HelperStreamReader, StreamSizeBound)
{
    const std::string atBound = StreamOfSize(0);
    const std::string overBound = StreamOfSize(1);
    ASSERT_EQ(atBound.size(), hp::kMaxStreamBytes);
    ASSERT_EQ(overBound.size(), hp::kMaxStreamBytes + 1);

    EXPECT_EQ(Read({atBound}).afterFinish, State::Complete);
    EXPECT_EQ(Read(Pieces(atBound, kPieceBytes)).afterFinish, State::Complete);
    EXPECT_EQ(Read({overBound}).afterFeed, State::Invalid);
    EXPECT_EQ(Read(Pieces(overBound, kPieceBytes)).afterFeed, State::Invalid);
}

TEST(HelperStreamReader, NothingMoreAfterTheEnd)
{
    const std::string good = Stream(kThreeRobots);
    for (const std::string& more : {std::string("E"), std::string(1, '\0'), Stream(kThreeRobots)}) {
        HelperStreamReader reader;
        ASSERT_EQ(reader.Feed(good.data(), good.size()), State::Complete);
        EXPECT_EQ(reader.Feed(more.data(), more.size()), State::Invalid);
        EXPECT_EQ(reader.Finish(), State::Invalid);
        EXPECT_TRUE(reader.TakeDevices().empty());
    }
    // An empty piece carries nothing more.
    HelperStreamReader reader;
    ASSERT_EQ(reader.Feed(good.data(), good.size()), State::Complete);
    EXPECT_EQ(reader.Feed(good.data(), 0), State::Complete);
    EXPECT_EQ(reader.Finish(), State::Complete);
    EXPECT_EQ(reader.TakeDevices().size(), kThreeRobots.size());
}

// Asking early neither hands out part of a stream nor loses devices.
TEST(HelperStreamReader, DevicesOnlyOnceComplete)
{
    const std::string good = Stream(kThreeRobots);
    const std::size_t beforeEnd = good.size() - hp::kEndFrameSize;
    HelperStreamReader reader;
    ASSERT_EQ(reader.Feed(good.data(), beforeEnd), State::Reading);
    EXPECT_TRUE(reader.TakeDevices().empty());
    ASSERT_EQ(reader.Feed(good.data() + beforeEnd, hp::kEndFrameSize), State::Complete);
    EXPECT_TRUE(SameDevices(reader.TakeDevices(), kThreeRobots));
}

TEST(HelperStreamReader, InvalidStaysInvalid)
{
    const std::string good = Stream(kThreeRobots);
    HelperStreamReader reader;
    ASSERT_EQ(reader.Feed("X", 1), State::Invalid);
    EXPECT_EQ(reader.Feed(good.data(), good.size()), State::Invalid);
    EXPECT_EQ(reader.Finish(), State::Invalid);
    EXPECT_TRUE(reader.TakeDevices().empty());
}

}  // namespace
}  // namespace seekwell::test
