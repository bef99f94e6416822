#include "sample_texts.h"

#include <stdexcept>

namespace bench {

namespace {

constexpr const char kReplyStatusLine[] = "HTTP/1.1 200 OK\r\n";
constexpr const char kPaddingHeaderName[] = "X-Padding: ";
constexpr const char kLineEnd[] = "\r\n";
constexpr const char kCommentOpen[] = "<!-- ";
constexpr const char kCommentClose[] = " -->\n";

// Fills the gap between head and tail with filler(n) to reach exactly bytes.
template <typename Filler>
std::string Padded(const std::string& head, const std::string& tail, std::size_t bytes, std::size_t fillerOverhead,
                   Filler filler)
{
    const std::size_t fixed = head.size() + tail.size() + fillerOverhead;
    if (fixed > bytes) {
        throw std::length_error("sample text does not fit the requested size");
    }
    return head + filler(bytes - fixed) + tail;
}

// The header block of a reply; padding goes in front of it, so that in a
// large datagram the marker and the location sit at the end.
std::string PaddedReply(const std::string& headers, std::size_t bytes)
{
    const std::size_t overhead = sizeof kPaddingHeaderName - 1 + sizeof kLineEnd - 1;
    return Padded(kReplyStatusLine, headers, bytes, overhead,
                  [](std::size_t n) { return kPaddingHeaderName + std::string(n, 'x') + kLineEnd; });
}

std::string ReplyHeaders(const std::string& location, const std::string& server, const std::string& usn)
{
    return "CACHE-CONTROL: max-age=1800\r\n"
           "DATE: Tue, 01 Dec 2026 10:00:00 GMT\r\n"
           "EXT:\r\n"
           "LOCATION: " +
           location +
           "\r\n"
           "SERVER: " +
           server +
           "\r\n"
           "ST: upnp:rootdevice\r\n"
           "USN: " +
           usn +
           "::upnp:rootdevice\r\n"
           "\r\n";
}

std::string ServiceBlock(int number)
{
    const std::string n = std::to_string(number);
    return "<service><serviceType>urn:schemas-upnp-org:service:Control:" + n +
           "</serviceType><serviceId>urn:upnp-org:serviceId:Control" + n + "</serviceId><SCPDURL>/control" + n +
           ".xml</SCPDURL><controlURL>/control" + n + "</controlURL><eventSubURL>/event" + n +
           "</eventSubURL></service>\n";
}

}  // namespace

std::string RobotReply(const std::string& host, std::size_t bytes)
{
    return PaddedReply(ReplyHeaders("http://" + host + "/ROVA.XML", "Linux/5.10 UPnP/1.0 R0VA/2.0",
                                    "uuid:00000000-0000-1000-8000-R0VA00000011"),
                       bytes);
}

std::string OtherDeviceReply(const std::string& host, std::size_t bytes)
{
    return PaddedReply(ReplyHeaders("http://" + host + ":49152/description.xml", "Linux/5.10 UPnP/1.0 MediaServer/1.0",
                                    "uuid:4d696e69-444c-164e-9d41-b827eb3a7f21"),
                       bytes);
}

std::string DescriptionDocument(const std::string& udn, const std::string& friendlyName, std::size_t bytes)
{
    const std::string head =
        "<?xml version=\"1.0\"?>\n"
        "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\n"
        "<device>\n"
        "<deviceType>urn:schemas-upnp-org:device:Basic:1</deviceType>\n"
        "<friendlyName>" +
        friendlyName +
        "</friendlyName>\n"
        "<manufacturer>Example Robotics</manufacturer>\n"
        "<manufacturerURL>http://www.example.com/</manufacturerURL>\n"
        "<modelDescription>Entertainment robot</modelDescription>\n"
        "<modelName>RV-2</modelName>\n"
        "<modelNumber>2.00</modelNumber>\n"
        "<serialNumber>000123</serialNumber>\n"
        "<UDN>" +
        udn +
        "</UDN>\n"
        "<iconList><icon><mimetype>image/png</mimetype><width>48</width><height>48</height>"
        "<depth>24</depth><url>/icon48.png</url></icon></iconList>\n"
        "<serviceList>\n";
    const std::string tail =
        "</serviceList>\n"
        "<presentationURL>index.html</presentationURL>\n"
        "</device>\n"
        "</root>\n";
    std::string services;
    const std::size_t commentOverhead = sizeof kCommentOpen - 1 + sizeof kCommentClose - 1;
    for (int n = 1;; ++n) {
        const std::string next = ServiceBlock(n);
        if (head.size() + services.size() + next.size() + tail.size() + commentOverhead > bytes) {
            break;
        }
        services += next;
    }
    return Padded(head + services, tail, bytes, commentOverhead,
                  [](std::size_t n) { return kCommentOpen + std::string(n, '.') + kCommentClose; });
}

}  // namespace bench
