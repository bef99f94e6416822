#include "finder/helper_stream_reader.h"

#include <algorithm>
#include <cstring>

#include "finder/helper_protocol.h"

namespace seekwell {

namespace hp = helper_protocol;

HelperStreamReader::State HelperStreamReader::Feed(const char* data, std::size_t size)
{
    if (m_state != State::Reading || size == 0) {
        // Nothing may follow the end frame.
        if (size != 0) {
            m_state = State::Invalid;
        }
        return m_state;
    }
    if (size > hp::kMaxStreamBytes - m_nBytesSeen) {
        m_state = State::Invalid;
        return m_state;
    }
    m_nBytesSeen += size;
    m_pending.append(data, size);
    if (!ParsePending()) {
        m_state = State::Invalid;
    }
    return m_state;
}

HelperStreamReader::State HelperStreamReader::Finish()
{
    if (m_state == State::Reading) {
        m_state = State::Invalid;
    }
    return m_state;
}

DeviceList HelperStreamReader::TakeDevices()
{
    DeviceList devices;
    if (m_state == State::Complete) {
        devices.swap(m_devices);
    }
    return devices;
}

bool HelperStreamReader::ParsePending()
{
    std::size_t offset = 0;
    if (!m_bMagicRead) {
        const std::size_t compared = std::min(m_pending.size(), hp::kStreamMagicSize);
        if (std::memcmp(m_pending.data(), hp::kStreamMagic, compared) != 0) {
            return false;
        }
        if (compared < hp::kStreamMagicSize) {
            return true;
        }
        m_bMagicRead = true;
        offset = hp::kStreamMagicSize;
    }
    bool whole = true;
    while (offset < m_pending.size() && m_state == State::Reading && whole) {
        const char tag = m_pending[offset];
        if (tag == hp::kDeviceTag) {
            if (!ParseDevice(offset, whole)) {
                return false;
            }
        } else if (tag == hp::kEndTag) {
            if (m_pending.size() - offset < hp::kEndFrameSize) {
                break;
            }
            if (hp::ReadLength(&m_pending[offset + 1]) != m_devices.size()) {
                return false;
            }
            offset += hp::kEndFrameSize;
            m_state = State::Complete;
        } else {
            return false;
        }
    }
    if (m_state == State::Complete && offset != m_pending.size()) {
        return false;
    }
    m_pending.erase(0, offset);
    return true;
}

// Reads the device frame at offset, moving offset past it when it is whole;
// whole turns false when more bytes are needed first.
bool HelperStreamReader::ParseDevice(std::size_t& offset, bool& whole)
{
    if (m_devices.size() == hp::kMaxDevices) {
        return false;
    }
    std::size_t cursor = offset + 1;
    DeviceProperties device;
    for (std::string* field :
         {&device.strFriendlyName, &device.strPresentationUrl, &device.strDescription}) {
        if (!ParseField(cursor, *field, whole)) {
            return false;
        }
        if (!whole) {
            return true;
        }
    }
    m_devices.push_back(std::move(device));
    offset = cursor;
    return true;
}

bool HelperStreamReader::ParseField(std::size_t& offset, std::string& field, bool& whole)
{
    if (m_pending.size() - offset < hp::kLengthSize) {
        whole = false;
        return true;
    }
    const std::size_t length = hp::ReadLength(&m_pending[offset]);
    if (length > hp::kMaxFieldBytes) {
        return false;
    }
    if (m_pending.size() - offset - hp::kLengthSize < length) {
        whole = false;
        return true;
    }
    field.assign(m_pending, offset + hp::kLengthSize, length);
    offset += hp::kLengthSize + length;
    // Texts are handed on as C strings: a NUL would silently cut one.
    return field.find('\0') == std::string::npos;
}

}  // namespace seekwell
