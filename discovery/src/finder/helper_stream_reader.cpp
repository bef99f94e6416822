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
    if (size > hp::kMaxStreamBytes - bytes_seen_) {
        state_ = State::Invalid;
        return state_;
    }
    bytes_seen_ += size;
    pending_.append(data, size);
    if (!ParsePending()) {
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
    if (!magic_read_) {
        const std::size_t compared = std::min(pending_.size(), hp::kStreamMagicSize);
        if (std::memcmp(pending_.data(), hp::kStreamMagic, compared) != 0) {
            return false;
        }
        if (compared < hp::kStreamMagicSize) {
            return true;
        }
        magic_read_ = true;
        offset = hp::kStreamMagicSize;
    }
    bool whole = true;
    while (offset < pending_.size() && state_ == State::Reading && whole) {
        const char tag = pending_[offset];
        if (tag == hp::kDeviceTag) {
            if (!ParseDevice(offset, whole)) {
                return false;
            }
        } else if (tag == hp::kEndTag) {
            if (pending_.size() - offset < hp::kEndFrameSize) {
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
    return true;
}

// Reads the device frame at offset, moving offset past it when it is whole;
// whole turns false when more bytes are needed first.
bool HelperStreamReader::ParseDevice(std::size_t& offset, bool& whole)
{
    if (devices_.size() == hp::kMaxDevices) {
        return false;
    }
    std::size_t cursor = offset + 1;
    DeviceProperties device;
    for (std::string* field : {&device.strFriendlyName, &device.strPresentationUrl, &device.strDescription}) {
        if (!ParseField(cursor, *field, whole)) {
            return false;
        }
        if (!whole) {
            return true;
        }
    }
    devices_.push_back(std::move(device));
    offset = cursor;
    return true;
}

bool HelperStreamReader::ParseField(std::size_t& offset, std::string& field, bool& whole)
{
    if (pending_.size() - offset < hp::kLengthSize) {
        whole = false;
        return true;
    }
    const std::size_t length = hp::ReadLength(&pending_[offset]);
    if (length > hp::kMaxFieldBytes) {
        return false;
    }
    if (pending_.size() - offset - hp::kLengthSize < length) {
        whole = false;
        return true;
    }
    field.assign(pending_, offset + hp::kLengthSize, length);
    offset += hp::kLengthSize + length;
    // Texts are handed on as C strings: a NUL would silently cut one.
    return field.find('\0') == std::string::npos;
}

}  // namespace seekwell
