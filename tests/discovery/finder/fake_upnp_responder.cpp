#include "fake_upnp_responder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

namespace seekwell::test {

namespace {

constexpr const char kSsdpGroup[] = "239.255.255.250";
constexpr unsigned short kSsdpPort = 1900;
constexpr unsigned short kHttpPort = 80;
constexpr int kRequestWaitMs = 2000;

sockaddr_in Ipv4(const std::string& address, unsigned short port) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr);
    return socketAddress;
}

std::string ReadRequest(int connection) {
    std::string request;
    char buffer[2048];
    pollfd waitFor{connection, POLLIN, 0};
    while (request.find("\r\n\r\n") == std::string::npos && poll(&waitFor, 1, kRequestWaitMs) > 0) {
        const ssize_t nRead = recv(connection, buffer, sizeof buffer, 0);
        if (nRead <= 0) {
            break;
        }
        request.append(buffer, static_cast<std::size_t>(nRead));
    }
    return request;
}

void SendAll(int connection, const std::string& data) {
    std::size_t nSent = 0;
    while (nSent < data.size()) {
        const ssize_t n = send(connection, data.data() + nSent, data.size() - nSent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        nSent += static_cast<std::size_t>(n);
    }
}

std::string DescriptionDocument(const ResponderDevice& device) {
    return "<?xml version=\"1.0\"?>\n"
           "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
           "<specVersion><major>1</major><minor>0</minor></specVersion><device>"
           "<deviceType>urn:schemas-upnp-org:device:Basic:1</deviceType>"
           "<friendlyName>" + device.strFriendlyName + "</friendlyName>"
           "<manufacturer>Test</manufacturer>"
           "<modelDescription>" + device.strModelDescription + "</modelDescription>"
           "<modelName>Test device</modelName>"
           "<UDN>uuid:" + device.strUdn + "</UDN>"
           "<presentationURL>" + device.strPresentationUrl + "</presentationURL>"
           "</device></root>\n";
}

std::string HttpResponse(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/xml\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

FakeUpnpResponder::FakeUpnpResponder(std::string interfaceAddress, std::vector<ResponderDevice> devices)
    : m_strAddress(std::move(interfaceAddress)), m_devices(std::move(devices)) {}

FakeUpnpResponder::~FakeUpnpResponder() {
    if (m_thread.joinable()) {
        const char stop = 0;
        (void)!write(m_stopPipe[1], &stop, 1);
        m_thread.join();
    }
    for (int fd : {m_ssdpSocket, m_httpSocket, m_stopPipe[0], m_stopPipe[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::string FakeUpnpResponder::Start() {
    const int reuse = 1;
    m_ssdpSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    setsockopt(m_ssdpSocket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    const sockaddr_in ssdpAddress = Ipv4("0.0.0.0", kSsdpPort);
    if (bind(m_ssdpSocket, reinterpret_cast<const sockaddr*>(&ssdpAddress), sizeof ssdpAddress) != 0) {
        return "bind SSDP: " + std::string(strerror(errno));
    }
    ip_mreq membership{};
    inet_pton(AF_INET, kSsdpGroup, &membership.imr_multiaddr);
    inet_pton(AF_INET, m_strAddress.c_str(), &membership.imr_interface);
    if (setsockopt(m_ssdpSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        return "join SSDP group: " + std::string(strerror(errno));
    }
    m_httpSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in httpAddress = Ipv4(m_strAddress, kHttpPort);
    if (bind(m_httpSocket, reinterpret_cast<const sockaddr*>(&httpAddress), sizeof httpAddress) != 0 ||
        listen(m_httpSocket, 16) != 0) {
        return "HTTP listener: " + std::string(strerror(errno));
    }
    if (pipe2(m_stopPipe, O_CLOEXEC) != 0) {
        return "stop pipe: " + std::string(strerror(errno));
    }
    m_thread = std::thread(&FakeUpnpResponder::Serve, this);
    return std::string();
}

void FakeUpnpResponder::Serve() {
    pollfd sources[] = {{m_ssdpSocket, POLLIN, 0}, {m_httpSocket, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    while (poll(sources, 3, -1) > 0 && sources[2].revents == 0) {
        if (sources[0].revents & POLLIN) {
            AnswerSearch();
        }
        if (sources[1].revents & POLLIN) {
            ServeDescription();
        }
    }
}

void FakeUpnpResponder::AnswerSearch() {
    char datagram[2048];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t nRead =
        recvfrom(m_ssdpSocket, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (nRead <= 0 || std::strncmp(datagram, "M-SEARCH", 8) != 0) {
        return;
    }
    for (std::size_t i = 0; i < m_devices.size(); ++i) {
        const std::string response = SearchResponse(i);
        sendto(m_ssdpSocket, response.data(), response.size(), 0, reinterpret_cast<const sockaddr*>(&sender),
               length);
    }
}

void FakeUpnpResponder::ServeDescription() {
    const int connection = accept4(m_httpSocket, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
        return;
    }
    SendAll(connection, DescriptionResponse(ReadRequest(connection)));
    close(connection);
}

std::string FakeUpnpResponder::SearchResponse(std::size_t index) const {
    return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\nLOCATION: http://" + m_strAddress +
           "/" + std::to_string(index) + ".xml\r\nSERVER: Linux/6.1 UPnP/1.0 test/1.0\r\nST: upnp:rootdevice\r\nUSN: uuid:" +
           m_devices[index].strUdn + "::upnp:rootdevice\r\n\r\n";
}

std::string FakeUpnpResponder::DescriptionResponse(const std::string& request) const {
    // "GET /<index>.xml HTTP/1.1"; any other path is the first device's.
    std::size_t index = 0;
    if (request.compare(0, 5, "GET /") == 0 && std::isdigit(static_cast<unsigned char>(request[5]))) {
        index = std::strtoul(request.c_str() + 5, nullptr, 10);
    }
    if (request.compare(0, 4, "GET ") != 0 || index >= m_devices.size() ||
        !m_devices[index].bServesDescription) {
        return HttpResponse("404 Not Found", std::string());
    }
    return HttpResponse("200 OK", DescriptionDocument(m_devices[index]));
}

}  // namespace seekwell::test
