// How a discovery call searches, decided from two facts about the platform.
#ifndef SEEKWELL_PATH_CHOICE_H
#define SEEKWELL_PATH_CHOICE_H

namespace seekwell {

enum class DiscoveryPath {
    Finder,    // the platform's UPnP device finder
    NoSearch,  // nothing is searched; the call returns -1
    BuiltIn,   // the library's own SSDP search
};

// The two facts the choice of path rests on.
struct PlatformFacts {
    bool finderAvailable;
    int probeAnswer;
};

// Stands in for loading the platform's UPnP library to test its presence:
// true when the finder helper beside the library starts and answers.
bool IsUpnpLibraryLoadable();

// Classifies the platform version; only the answer 2 changes the choice.
int ProbeOsVersion();

PlatformFacts ReadPlatformFacts();

DiscoveryPath ChooseDiscoveryPath(bool finderAvailable, int probeAnswer);

}  // namespace seekwell

#endif  // SEEKWELL_PATH_CHOICE_H
