// The built libseekwell.so copied alone into a scratch folder and loaded
// from there: with no finder helper beside it, the export takes the
// built-in search with the product's own constants.
#ifndef SEEKWELL_TESTS_LONE_LIBRARY_H
#define SEEKWELL_TESTS_LONE_LIBRARY_H

#include <seekwell/seekwell.h>

#include <string>

#include "result_records.h"

namespace seekwell::test {

using DiscoveryExport = int (*)(DISCOVERY_RESULT*);

class LoneLibrary {
public:
    explicit LoneLibrary(const std::string& builtLibrary);
    ~LoneLibrary();
    LoneLibrary(const LoneLibrary&) = delete;
    LoneLibrary& operator=(const LoneLibrary&) = delete;

    DiscoveryExport Discover() const { return discover_; }
    const std::string& Path() const { return path_; }

private:
    std::string folder_;
    std::string path_;
    void* handle_;
    DiscoveryExport discover_;
};

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_LONE_LIBRARY_H
