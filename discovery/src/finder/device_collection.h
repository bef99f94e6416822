// The finder's answer: a snapshot of the devices one search found, handed
// out through the collection, enumerator and device interfaces.
#ifndef SEEKWELL_FINDER_DEVICE_COLLECTION_H
#define SEEKWELL_FINDER_DEVICE_COLLECTION_H

#include "finder/helper_stream_reader.h"
#include "finder/upnp_interfaces.h"

namespace seekwell {

// A new collection with one reference, or null when memory runs out.
IUPnPDevices* NewDeviceCollection(DeviceList devices);

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_DEVICE_COLLECTION_H
