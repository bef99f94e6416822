#include "ssdp_peers.h"

#include "socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace seekwell::test {

namespace {

constexpr char kGroup[] = "239.255.255.250";
constexpr std::uint16_t kSsdpPort = 1900;
constexpr int kPollStepMs = 10;
constexpr int kStormBatches = 400;  // steps over which a storm is spread
constexpr std::size_t kLargestDatagram = 65535;
// Long runs of replies go out in bursts small enough for the searcher's
// receive buffer.
constexpr std::size_t kRepliesPerBurst = 16;
constexpr std::chrono::milliseconds kBurstGap{10};

int BoundUdpSocket(const char* address, std::uint16_t port, bool reuse)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (reuse) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const sockaddr_in local = Address(address, port);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        throw std::runtime_error(std::string("cannot bind a UDP socket to ") + address);
    }
    return fd;
}

void SendFrom(const std::string& fromAddress, const std::string& text, const sockaddr_in& to)
{
    const int fd = BoundUdpSocket(fromAddress.c_str(), 0, false);
    sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(fd);
}

}  // namespace

SsdpResponder::SsdpResponder(const char* interfaceAddress, std::vector<ScriptedReply> replies,
                             std::chrono::milliseconds replyDelay)
    : socket_(BoundUdpSocket("0.0.0.0", kSsdpPort, true)), replies_(std::move(replies)), replyDelay_(replyDelay)
{
    ip_mreq membership{};
    inet_pton(AF_INET, kGroup, &membership.imr_multiaddr);
    inet_pton(AF_INET, interfaceAddress, &membership.imr_interface);
    if (setsockopt(socket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        close(socket_);
        throw std::runtime_error("cannot join the SSDP group");
    }
    thread_ = std::thread(&SsdpResponder::Serve, this);
}

SsdpResponder::~SsdpResponder()
{
    stopping_ = true;
    thread_.join();
    close(socket_);
}

std::vector<HeardSearch> SsdpResponder::Searches() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return searches_;
}

bool SsdpResponder::WaitForSearch(std::chrono::milliseconds timeout) const
{
    const auto end = Clock::now() + timeout;
    while (Searches().empty() && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    }
    return !Searches().empty();
}

void SsdpResponder::Serve()
{
    std::string buffer(kLargestDatagram, '\0');
    while (!stopping_) {
        pollfd entry{socket_, POLLIN, 0};
        if (poll(&entry, 1, kPollStepMs) <= 0) {
            continue;
        }
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t n =
            recvfrom(socket_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (n <= 0 || buffer.compare(0, 8, "M-SEARCH") != 0) {
            continue;
        }
        char address[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sender.sin_addr, address, sizeof address);
        const HeardSearch search{address, ntohs(sender.sin_port), buffer.substr(0, n), Clock::now()};
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            searches_.push_back(search);
        }
        Answer(search);
    }
}

void SsdpResponder::Answer(const HeardSearch& search)
{
    std::this_thread::sleep_for(replyDelay_);
    const sockaddr_in to = Address(search.sourceAddress.c_str(), search.sourcePort);
    for (std::size_t i = 0; i < replies_.size(); ++i) {
        if (i > 0 && i % kRepliesPerBurst == 0) {
            std::this_thread::sleep_for(kBurstGap);
        }
        SendFrom(replies_[i].fromAddress, replies_[i].text, to);
    }
}

ReplyStorm::ReplyStorm(std::vector<std::string> senderAddresses, int socketsPerAddress)
{
    for (const std::string& address : senderAddresses) {
        for (int i = 0; i < socketsPerAddress; ++i) {
            sockets_.push_back(BoundUdpSocket(address.c_str(), 0, false));
        }
    }
}

ReplyStorm::~ReplyStorm()
{
    Join();
    for (const int fd : sockets_) {
        close(fd);
    }
}

void ReplyStorm::Start(const char* target, std::uint16_t port, int count, std::chrono::milliseconds duration,
                       std::function<std::string(int)> datagram)
{
    const sockaddr_in to = Address(target, port);
    thread_ = std::thread([this, to, count, duration, datagram] {
        const auto start = Clock::now();
        for (int batch = 0; batch < kStormBatches; ++batch) {
            for (int i = batch * count / kStormBatches; i < (batch + 1) * count / kStormBatches; ++i) {
                const std::string text = datagram(i);
                const int fd = sockets_[static_cast<std::size_t>(i) % sockets_.size()];
                if (sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0) {
                    ++sent_;
                }
            }
            std::this_thread::sleep_until(start + duration * (batch + 1) / kStormBatches);
        }
    });
}

void ReplyStorm::Join()
{
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string RobotSsdpReply(const std::string& host)
{
    return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\nLOCATION: http://" + host +
           "/ROVA.XML\r\nSERVER: Linux/6.1 UPnP/1.0 R0VA/1.0\r\nST: upnp:rootdevice\r\n"
           "USN: uuid:R0VA-" +
           host + "::upnp:rootdevice\r\n\r\n";
}

}  // namespace seekwell::test
