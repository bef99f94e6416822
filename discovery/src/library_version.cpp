#include <seekwell/seekwell.h>

namespace {

// The header this library was built with is its version: the two cannot part.
constexpr seekwell_version_info kThisVersion = {
    SEEKWELL_VERSION_MAJOR,  SEEKWELL_VERSION_MINOR, SEEKWELL_VERSION_PATCH,
    SEEKWELL_VERSION_NUMBER, SEEKWELL_VERSION_TEXT,
};

static_assert(SEEKWELL_VERSION_NUMBER ==
                  ((SEEKWELL_VERSION_MAJOR << 16) | (SEEKWELL_VERSION_MINOR << 8) | SEEKWELL_VERSION_PATCH),
              "the version number must be made of its parts");

}  // namespace

extern "C" SEEKWELL_API const seekwell_version_info* seekwell_version(void) { return &kThisVersion; }
