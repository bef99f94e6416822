// Reads the finder helper's stream (finder_wire.h) as it arrives,
// in pieces of any size, and keeps the devices of the frames read whole.
#ifndef SEEKWELL_FINDER_HELPER_STREAM_READER_H
#define SEEKWELL_FINDER_HELPER_STREAM_READER_H

#include <cstddef>
#include <string>
#include <vector>

namespace seekwell {

struct DeviceProperties {
    std::string friendlyName;
    std::string presentationUrl;
    std::string description;  // the device's modelDescription
};

using DeviceList = std::vector<DeviceProperties>;

class HelperStreamReader {
public:
    enum class State {
        Reading,   // a valid beginning; more is expected
        Complete,  // the end frame was read and agreed with the devices
        Invalid,   // broken, over a bound, or more after the end frame
    };

    // Takes the next piece of the stream. Once Invalid, stays Invalid; a
    // piece that runs past kMaxStreamBytes makes the stream Invalid.
    State Feed(const char* data, std::size_t size);
    // The stream ended (the helper closed it): Complete stays, Reading turns
    // Invalid.
    State Finish();
    State GetState() const { return state_; }
    // The devices read; empty unless the stream is Complete.
    DeviceList TakeDevices();

private:
    // Consumes whole frames from pending_; false when the stream is broken.
    bool ParsePending();
    // Reads the device frame at offset, moving offset past it when it is
    // whole, else setting required to the size pending_ must reach before the
    // frame can get further.
    bool ParseDevice(std::size_t& offset, std::size_t& required);

    State state_ = State::Reading;
    bool magicRead_ = false;
    std::size_t bytesSeen_ = 0;
    std::string pending_;  // bytes of a frame not yet whole
    // pending_ is looked at again only once it holds this many bytes, so that
    // each byte is examined a bounded number of times however the stream is cut.
    std::size_t needed_ = 0;
    DeviceList devices_;
};

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_HELPER_STREAM_READER_H
