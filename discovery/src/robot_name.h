// A robot's friendly name as the finder path and the live search hand it to
// the host. The finder's XML parser drops most control characters and passes
// bytes that are not UTF-8 on as they came; the live search reads the bytes
// itself. Both end here, so that one robot has one name whichever way found it.
#ifndef SEEKWELL_ROBOT_NAME_H
#define SEEKWELL_ROBOT_NAME_H

#include <cstddef>
#include <string>
#include <string_view>

#include "search_constants.h"

namespace seekwell {

// The most bytes of a name a host is given: the finder path's bound on every text.
constexpr std::size_t kRobotNameMaxBytes = kNarrowTextMaxChars;

// An element's text as an XML parser gives it, as the finder path's does: the
// predefined entities and character references replaced by what they stand
// for; anything else, a malformed reference included, left as it is.
std::string XmlElementText(std::string_view raw);

// The name as text a host can rely on: each byte where no valid UTF-8
// character starts becomes U+FFFD, each control character (C0, DEL, C1) is
// dropped, then the result is cut to at most kRobotNameMaxBytes without
// splitting a character.
std::string RobotName(std::string_view raw);

// The same, uncut: what RobotName cuts.
std::string CleanNameText(std::string_view raw);

// The length of the longest run of whole characters of text (as CleanNameText
// gives it) within limit bytes.
std::size_t WholeCharactersWithin(std::string_view text, std::size_t limit);

// How many bytes at the end of raw are the start of a UTF-8 character whose
// remaining bytes are missing (0 to 3): a read that ended inside it.
std::size_t UnfinishedCharacterAtEnd(std::string_view raw);

}  // namespace seekwell

#endif  // SEEKWELL_ROBOT_NAME_H
