// One line per request the simulator receives, so tests can check exactly what a client sent, and
// one per announcement it sends.
#ifndef ROBOT_SIM_TRAFFIC_LOG_H
#define ROBOT_SIM_TRAFFIC_LOG_H

#include <netinet/in.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace robotsim {

// Printable ASCII as is; backslash, quote, \r, \n and \t as C escapes; every other byte as \xHH.
std::string EscapeBytes(std::string_view bytes);

// Lines look like
//   ssdp from=192.0.2.1:1900 bytes=98 data="M-SEARCH * HTTP/1.1\r\n..."
//   http to=192.0.2.10 from=192.0.2.1:40312 bytes=87 data="GET /ROVA.XML HTTP/1.1\r\n..."
//   notify from=192.0.2.10:51234 to=239.255.255.250:1900 nts=ssdp:alive bytes=301 data="NOTIFY * ..."
// and an announcement that could not be sent ends in error="..." (what the system said).
class TrafficLog {
public:
    // An empty path logs nothing.
    bool Open(const std::string& path);
    void Datagram(const sockaddr_in& from, std::string_view bytes);
    void HttpRequest(in_addr to, const sockaddr_in& from, std::string_view bytes);
    // `error` is the errno of a failed send, 0 for one sent.
    void Notify(const sockaddr_in& from, const sockaddr_in& to, std::string_view nts, std::string_view bytes,
                int error);

private:
    void Write(const std::string& line);

    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, FileCloser> file_;
};

}  // namespace robotsim

#endif  // ROBOT_SIM_TRAFFIC_LOG_H
