// Arbitrary arguments to the body description's entry points, with buffers
// of exactly the size the caller promises.
#include <fuzzer/FuzzedDataProvider.h>
#include <kinemap/kinemap.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned char kUntouched = 0xA5;
constexpr int kKeyedDesign = 1;
constexpr int kKeyUnitCount = 3;
constexpr int kMaxBufferSize = 512;

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool AllUntouched(const unsigned char* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] != kUntouched) {
            return false;
        }
    }
    return true;
}

// The key is read only when its count matches a design's, so a longer or
// shorter claim gets a buffer of its real units only.
void RobotDesign(FuzzedDataProvider& input)
{
    const int count = input.ConsumeIntegral<int>();
    const std::size_t units = count > 0 && count <= kKeyUnitCount ? count : 0;
    std::vector<unsigned short> key(units);
    for (unsigned short& unit : key) {
        unit = input.ConsumeIntegral<unsigned short>();
    }
    const bool isKey = count == kKeyUnitCount && key[0] == 11 && key[1] == 1 && key[2] == 1;
    unsigned short* keyOrNull = input.ConsumeBool() ? nullptr : key.data();
    const unsigned int design = CKinemap::GetRobotDesign(keyOrNull, count);
    Require(design == (isKey && keyOrNull != nullptr ? kKeyedDesign : 0u));
}

void PrimitiveLocator(FuzzedDataProvider& input)
{
    CKinemap body(input.ConsumeIntegral<unsigned int>());
    const int index = input.ConsumeIntegral<int>();
    unsigned char buffer[KINEMAP_LOCATOR_SIZE];
    std::memset(buffer, kUntouched, sizeof buffer);
    const int found = body.GetPrimitiveLocator(index, reinterpret_cast<char*>(buffer));
    const bool inRange = index >= 0 && index < KINEMAP_PRIMITIVE_COUNT;
    Require(found == (inRange ? 1 : 0));
    if (!found) {
        Require(AllUntouched(buffer, sizeof buffer));
        return;
    }
    const void* nul = std::memchr(buffer, '\0', sizeof buffer);
    Require(nul != nullptr);
    const std::size_t length = static_cast<const unsigned char*>(nul) - buffer;
    Require(length == 0 || std::memcmp(buffer, "PRM:", 4) == 0);
    Require(AllUntouched(buffer + length + 1, sizeof buffer - length - 1));
}

void LoadString(FuzzedDataProvider& input)
{
    const unsigned int id = input.ConsumeIntegral<unsigned int>();
    const unsigned short language = input.ConsumeIntegral<unsigned short>();
    const int room = input.ConsumeIntegralInRange<int>(-1, kMaxBufferSize);
    const bool nullBuffer = input.ConsumeBool();
    std::vector<unsigned char> buffer(room > 0 ? room : 0, kUntouched);
    char* text = nullBuffer || buffer.empty() ? nullptr : reinterpret_cast<char*>(buffer.data());
    const int copied = KinemapLoadString(id, language, text, room);
    if (text == nullptr || room <= 0) {
        Require(copied == 0);
        return;
    }
    Require(copied >= 0 && copied < room && buffer[copied] == '\0');
    Require(AllUntouched(buffer.data() + copied + 1, room - copied - 1));
}

void Arrays(FuzzedDataProvider& input)
{
    CKinemap body(input.ConsumeIntegral<unsigned int>());
    const int joints = body.GetJointArray(nullptr);
    const int slots = body.GetSensorArray(nullptr);
    const int sensors = body.GetSensorIDs(nullptr);
    std::vector<int> jointArray(joints), slotArray(slots), sensorArray(sensors);
    Require(body.GetJointArray(jointArray.data()) == joints);
    Require(body.GetSensorArray(slotArray.data()) == slots);
    Require(body.GetSensorIDs(sensorArray.empty() ? nullptr : sensorArray.data()) == sensors);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
                RobotDesign(input);
                break;
            case 1:
                PrimitiveLocator(input);
                break;
            case 2:
                LoadString(input);
                break;
            default:
                Arrays(input);
                break;
        }
    }
    return 0;
}
