// The helper's side of the stream it hands to the library: what it found,
// within the stream's bounds, written whole to the stream's descriptor.
#ifndef SEEKWELL_FINDER_GUPNP_HELPER_STREAM_WRITER_H
#define SEEKWELL_FINDER_GUPNP_HELPER_STREAM_WRITER_H

#include <string>

#include "gupnp_search.h"

namespace seekwell {

// text cut to the longest prefix of at most kMaxFieldBytes that ends on a
// character boundary.
std::string CutField(const std::string& text);

// The whole stream for devices. Fields are cut to their bound; devices past
// kMaxDevices, or that would take the stream past kMaxStreamBytes, are left
// out, so the stream always ends with its end frame.
std::string BuildStream(const FoundDeviceList& devices);

// Writes all of data to fd, through partial and interrupted writes; false
// when a write fails.
bool WriteAll(int fd, const std::string& data);

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_GUPNP_HELPER_STREAM_WRITER_H
