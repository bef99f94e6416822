// Text handling of the finder path: narrowing the finder's texts to the
// library's bounded strings and cutting a host text out of a presentation URL.
#ifndef SEEKWELL_FINDER_DEVICE_TEXT_H
#define SEEKWELL_FINDER_DEVICE_TEXT_H

#include <string>

namespace seekwell {

// At most kNarrowTextMaxChars bytes of text, cut so that no UTF-8 character
// is split. A null text narrows to the empty string.
std::string NarrowText(const char* text);

// A friendly name as the live search gives it (RobotName): the parser passes
// on bytes that are not UTF-8, and keeps some control characters.
std::string NarrowName(const char* text);

// Drops everything from the last '/' on, then the first 7 characters (the
// length of "http://"). Empty when nothing is left.
std::string HostFromPresentationUrl(const std::string& url);

}  // namespace seekwell

#endif  // SEEKWELL_FINDER_DEVICE_TEXT_H
