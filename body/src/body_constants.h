// Constants shared by the sources of the body description.
#ifndef KINEMAP_BODY_CONSTANTS_H
#define KINEMAP_BODY_CONSTANTS_H

#include <kinemap/kinemap.h>

namespace kinemap {

// The one design the library identifies by key; it has its own locator table
// and the only sensor list. Every other number selects the default data.
const unsigned int kKeyedDesign = KINEMAP_DESIGN_KEYED;

const int kPrimitiveCount = KINEMAP_PRIMITIVE_COUNT;
const int kLocatorSize = KINEMAP_LOCATOR_SIZE;

inline bool IsKeyedDesign(unsigned int design) { return design == kKeyedDesign; }

}  // namespace kinemap

#endif  // KINEMAP_BODY_CONSTANTS_H
