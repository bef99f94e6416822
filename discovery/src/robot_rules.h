// The rules that make a responder a robot, shared by every search that reads
// replies and descriptions itself: the marker in the reply, the LOCATION
// host, the description's tags and the UDN.
#ifndef SEEKWELL_ROBOT_RULES_H
#define SEEKWELL_ROBOT_RULES_H

#include <netinet/in.h>

#include <string>
#include <string_view>

namespace seekwell {

// Whether a reply text (NUL-terminated) carries the robot marker anywhere.
bool CarriesRobotMarker(const char* replyText);

// The host text of the first LOCATION line: from just after its http://
// prefix to the first '/' after it, or to the end of the text. Empty data()
// (nullptr) when the text holds no such prefix. Views into replyText.
std::string_view LocationHostText(const char* replyText);

// The whole LOCATION URL, from its scheme to the end of its line; empty when
// the text holds no http:// LOCATION. Views into replyText.
std::string_view LocationUrl(const char* replyText);

// inet_addr's reading of a host text: false when it rejects the text.
bool ReadIpv4(const char* hostText, in_addr& address);

// inet_addr's reading rendered as a dotted quad; a text it rejects becomes
// 255.255.255.255, as inet_addr answers. Never longer than std::string keeps
// without allocating, so the receive worker allocates nothing here.
std::string RenderIpv4(const char* hostText);

// Where a responder's description is fetched from.
std::string DescriptionUrl(const char* address);

// The document in a response body: up to its first NUL.
std::string DocumentInBody(const std::string& body);

// The text between the first opening and the first closing tag anywhere in
// the document; empty when either is missing or the closing one comes first.
std::string ExtractTag(const std::string& openTag, const std::string& closeTag, const std::string& document);

// Whether the document's UDN carries the robot marker.
bool HasRobotUdn(const std::string& document);
// The document's whole UDN text, as a live search names a robot by it.
std::string DescriptionUdn(const std::string& document);

// The six fields of an accepted description, as they will be stored.
struct RobotDescription {
    std::string manufacturer;
    std::string modelName;
    std::string modelDescription;
    std::string udn;
    std::string presentationUrl;
    std::string friendlyName;
};

// Extracted in this order, each over the whole document; the presentation
// URL is rebuilt on the address and the UDN keeps only its tail.
RobotDescription ReadRobotDescription(const char* address, const std::string& document);

// Only a dotted quad is reported.
bool IsReportableAddress(const char* address);

// When the document holds an opening friendlyName tag and no closing one, the
// text from that tag to the end: the start of a name whose end was not read.
// Empty otherwise.
std::string UnclosedFriendlyName(const std::string& document);

}  // namespace seekwell

#endif  // SEEKWELL_ROBOT_RULES_H
