// The discovery through the platform's UPnP device finder.
#ifndef SEEKWELL_FINDER_PATH_H
#define SEEKWELL_FINDER_PATH_H

#include <seekwell/seekwell.h>

namespace seekwell {

// Returns the number of records written, or -1 when the finder could not search.
int RunFinderPath(DISCOVERY_RESULT* results);

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_PATH_H
