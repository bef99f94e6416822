#include "finder/helper_stream_reader.h"

#include <algorithm>
#include <cstring>

#include "finder_wire.h"

namespace seekwell {

namespace hp = finder_wire;

HelperStreamReader::State HelperStreamReader::Feed(const char* data, std::size_t size)
{
    if (state_ != State::Reading || size == 0) {
        // Nothing may follow the end frame.
        if (size != 0) {
            state_ = State::Invalid;
        }
        return state_;
    }
    if (size > hp::kMaxStreamBytes - bytesSeen_) {
        state_ = State::Invalid;
        return state_;
    }
    bytesSeen_ += size;
    pending_.append(data, size);
    if (pending_.size() >= needed_ && !ParsePending()) {
        state_ = State::Invalid;
    }
    return state_;
}

HelperStreamReader::State HelperStreamReader::Finish()
{
    if (state_ == State::Reading) {
        state_ = State::Invalid;
    }
    return state_;
}

DeviceList HelperStreamReader::TakeDevices()
{
    DeviceList devices;
    if (state_ == State::Complete) {
        devices.swap(devices_);
    }
    return devices;
}

bool HelperStreamReader::ParsePending()
{
    std::size_t offset = 0;
    if (!magicRead_) {
        const std::size_t compared = std::min(pending_.size(), hp::kStreamMagicSize);
        if (std::memcmp(pending_.data(), hp::kStreamMagic, compared) != 0) {
            return false;
        }
        if (compared < hp::kStreamMagicSize) {
            return true;
        }
        magicRead_ = true;
        offset = hp::kStreamMagicSize;
    }
    std::size_t required = 0;
    while (offset < pending_.size() && state_ == State::Reading && required == 0) {
        const char tag = pending_[offset];
        if (tag == hp::kDeviceTag) {
            if (!ParseDevice(offset, required)) {
                return false;
            }
        } else if (tag == hp::kEndTag) {
            if (pending_.size() - offset < hp::kEndFrameSize) {
                required = offset + hp::kEndFrameSize;
                break;
            }
            if (hp::ReadLength(&pending_[offset + 1]) != devices_.size()) {
                return false;
            }
            offset += hp::kEndFrameSize;
            state_ = State::Complete;
        } else {
            return false;
        }
    }
    if (state_ == State::Complete && offset != pending_.size()) {
        return false;
    }
    pending_.erase(0, offset);
    needed_ = required - std::min(required, offset);
    return true;
}

bool HelperStreamReader::ParseDevice(std::size_t& offset, std::size_t& required)
{
    if (devices_.size() == hp::kMaxDevices) {
        return false;
    }
    // The fields' places are found first; nothing is copied until all three are in.
    std::size_t starts[hp::kFieldsPerDevice] = {};
    std::size_t lengths[hp::kFieldsPerDevice] = {};
    std::size_t cursor = offset + 1;
    for (std::size_t i = 0; i < hp::kFieldsPerDevice; ++i) {
        if (pending_.size() - cursor < hp::kLengthSize) {
            required = cursor + hp::kLengthSize;
            return true;
        }
        lengths[i] = hp::ReadLength(&pending_[cursor]);
        if (lengths[i] > hp::kMaxFieldBytes) {
            return false;
        }
        starts[i] = cursor + hp::kLengthSize;
        if (pending_.size() - starts[i] < lengths[i]) {
            required = starts[i] + lengths[i];
            return true;
        }
        // Texts are handed on as C strings: a NUL would silently cut one.
        if (std::memchr(pending_.data() + starts[i], '\0', lengths[i]) != nullptr) {
            return false;
        }
        cursor = starts[i] + lengths[i];
    }
    DeviceProperties device;
    std::string* fields[hp::kFieldsPerDevice] = {&device.friendlyName, &device.presentationUrl, &device.description};
    for (std::size_t i = 0; i < hp::kFieldsPerDevice; ++i) {
        fields[i]->assign(pending_, starts[i], lengths[i]);
    }
    devices_.push_back(std::move(device));
    offset = cursor;
    return true;
}

}  // namespace seekwell
