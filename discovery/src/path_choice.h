// How a discovery call searches, decided from two facts about the platform.
#ifndef SEEKWELL_PATH_CHOICE_H
#define SEEKWELL_PATH_CHOICE_H

namespace seekwell {

enum class DiscoveryPath {
    Finder,    // the platform's UPnP device finder
    NoSearch,  // nothing is searched; the call returns -1
    BuiltIn,   // the library's own SSDP search
};

// Classifies the platform version; only the answer 2 changes the choice.
int ProbeOsVersion();

DiscoveryPath ChooseDiscoveryPath(bool finderAvailable, int probeAnswer);

}  // namespace seekwell

#endif  // SEEKWELL_PATH_CHOICE_H
