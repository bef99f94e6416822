#include "simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ssdp_request.h"

namespace robotsim {
namespace {

constexpr std::size_t kDatagramBufferSize = 65536;
constexpr int kDatagramsPerWakeup = 64;  // keeps HTTP clients served during a datagram flood
constexpr std::size_t kMaxConnections = 128;
// Late replies beyond this many are dropped, so a flood of searches cannot grow memory.
constexpr std::size_t kMaxPendingReplies = 1024;
constexpr std::size_t kMaxRequestBytes = 16 * 1024;
constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kWriteChunk = 64 * 1024;
constexpr int kListenBacklog = 64;
constexpr std::chrono::seconds kConnectionLifetime{30};
constexpr const char kRequestEnd[] = "\r\n\r\n";
// A device's first alive goes out three times, as UDP may lose one.
constexpr int kStartAlives = 3;
constexpr std::chrono::milliseconds kStartAliveGap{100};
// UPnP's default: the announcements stay on the LAN.
constexpr int kAnnounceTimeToLive = 2;

std::string Failure(const std::string& what) { return what + ": " + std::strerror(errno); }

sockaddr_in SocketAddress(in_addr address, std::uint16_t port)
{
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr = address;
    socketAddress.sin_port = htons(port);
    return socketAddress;
}

UniqueFd OpenBound(int type, in_addr address, std::uint16_t port, bool reuseAddress)
{
    UniqueFd fd(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        return fd;
    }
    const int on = 1;
    if (reuseAddress) {
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const sockaddr_in local = SocketAddress(address, port);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        fd.Reset();
    }
    return fd;
}

sockaddr_in LocalEndpoint(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return sockaddr_in{};
    }
    return local;
}

std::uint16_t LocalPort(int fd) { return ntohs(LocalEndpoint(fd).sin_port); }

bool JoinSsdpGroup(int fd, const std::string& interfaceName, std::string* error)
{
    ip_mreqn request{};
    inet_pton(AF_INET, kSsdpGroup, &request.imr_multiaddr);
    if (!interfaceName.empty()) {
        request.imr_ifindex = static_cast<int>(if_nametoindex(interfaceName.c_str()));
        if (request.imr_ifindex == 0) {
            *error = Failure("unknown interface " + interfaceName);
            return false;
        }
    }
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0) {
        return true;
    }
    *error = Failure(std::string("cannot join ") + kSsdpGroup);
    return false;
}

// Receives one datagram with the address it was sent to, which IP_PKTINFO tells; a negative size
// when none is waiting. The destination stays 0.0.0.0 (nobody's) if the kernel leaves it out.
ssize_t ReceiveWithDestination(int fd, std::vector<char>& buffer, sockaddr_in& from, in_addr& destination)
{
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t size = ::recvmsg(fd, &message, 0);
    destination.s_addr = htonl(INADDR_ANY);
    if (size < 0) {
        return size;
    }
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            destination = info.ipi_addr;
        }
    }
    return size;
}

bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

// A renames robot has started again before each periodic alive; BOOTID.UPNP.ORG is 31-bit.
int BootIdOf(const SimDevice& device, int bootId, int reboots)
{
    if (device.fault != DeviceFault::Renames) {
        return bootId;
    }
    constexpr std::int64_t kBootIds = std::int64_t{1} << 31;
    return static_cast<int>((std::int64_t{bootId} + reboots) % kBootIds);
}

}  // namespace

Simulator::Simulator(SimConfig config)
    : config_(std::move(config)), devices_(PlanDevices(config_)), datagram_(kDatagramBufferSize)
{
    for (const SimDevice& device : devices_) {
        responses_.push_back(std::make_shared<const std::string>(BuildHttpResponse(device)));
    }
}

bool Simulator::Start(std::string* error)
{
    if (!log_.Open(config_.logPath)) {
        *error = Failure("cannot open log " + config_.logPath);
        return false;
    }
    return OpenStopPipe(error) && OpenSsdpSocket(error) && OpenDeviceSockets(error);
}

bool Simulator::OpenStopPipe(std::string* error)
{
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
        *error = Failure("pipe");
        return false;
    }
    stopRead_.Reset(ends[0]);
    stopWrite_.Reset(ends[1]);
    return true;
}

bool Simulator::OpenSsdpSocket(std::string* error)
{
    ssdpSocket_ = OpenBound(SOCK_DGRAM, in_addr{htonl(INADDR_ANY)}, config_.ssdpPort, true);
    if (!ssdpSocket_.Valid()) {
        *error = Failure("cannot listen on SSDP port " + std::to_string(config_.ssdpPort));
        return false;
    }
    // Whom a search was sent to decides which devices answer it.
    const int on = 1;
    if (::setsockopt(ssdpSocket_.Get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        *error = Failure("cannot learn where searches are sent");
        return false;
    }
    return !config_.joinGroup || JoinSsdpGroup(ssdpSocket_.Get(), config_.interfaceName, error);
}

bool Simulator::OpenDeviceSockets(std::string* error)
{
    for (const SimDevice& device : devices_) {
        const std::string address = AddressText(device.address);
        UniqueFd reply = OpenBound(SOCK_DGRAM, device.address, 0, false);
        UniqueFd listener;
        if (reply.Valid() && ServesHttp(device)) {
            listener = OpenBound(SOCK_STREAM, device.address, config_.httpPort, true);
            if (listener.Valid() && ::listen(listener.Get(), kListenBacklog) != 0) {
                listener.Reset();
            }
        }
        if (!reply.Valid() || (ServesHttp(device) && !listener.Valid())) {
            *error = Failure("cannot serve " + address + " (is the address on an interface?)");
            return false;
        }
        if (config_.announce && !PrepareAnnouncing(reply.Get(), device.address, error)) {
            return false;
        }
        replySockets_.push_back(std::move(reply));
        httpListeners_.push_back(std::move(listener));
    }
    return true;
}

// A device announces from the socket it replies from, so from its own address.
bool Simulator::PrepareAnnouncing(int fd, in_addr address, std::string* error) const
{
    const int timeToLive = kAnnounceTimeToLive;
    // Off, or the simulator's own SSDP socket would hear and log its devices' announcements.
    const int loop = 0;
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &timeToLive, sizeof timeToLive) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
        *error = Failure("cannot announce from " + AddressText(address));
        return false;
    }
    if (config_.interfaceName.empty()) {
        return true;
    }
    ip_mreqn outgoing{};
    outgoing.imr_address = address;
    outgoing.imr_ifindex = static_cast<int>(if_nametoindex(config_.interfaceName.c_str()));
    if (outgoing.imr_ifindex == 0 || ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0) {
        *error = Failure("cannot announce from " + AddressText(address) + " on " + config_.interfaceName);
        return false;
    }
    return true;
}

void Simulator::Stop() const
{
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(stopWrite_.Get(), &byte, 1);
}

std::uint16_t Simulator::SsdpPort() const { return LocalPort(ssdpSocket_.Get()); }

std::uint16_t Simulator::HttpPort(std::size_t device) const
{
    return httpListeners_[device].Valid() ? LocalPort(httpListeners_[device].Get()) : config_.httpPort;
}

void Simulator::Run()
{
    if (config_.announce) {
        nextAlive_ = Clock::now();
    }
    Serve();
    if (config_.announce) {
        Announce(Announcement::Byebye);
    }
}

void Simulator::Serve()
{
    std::optional<Clock::time_point> runDeadline;
    if (config_.durationSeconds > 0) {
        runDeadline = Clock::now() + std::chrono::seconds(config_.durationSeconds);
    }
    std::vector<pollfd> fds;
    std::vector<Watched> watched;
    for (;;) {
        if (runDeadline && Clock::now() >= *runDeadline) {
            return;
        }
        AnnounceIfDue();
        BuildPollSet(fds, watched);
        if (::poll(fds.data(), fds.size(), PollTimeoutMs(runDeadline)) < 0 && errno != EINTR) {
            return;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents != 0 && !Dispatch(watched[i], fds[i].revents)) {
                return;
            }
        }
        SendDueReplies();
        ReleaseHeldConnections();
        DropFinishedConnections();
    }
}

void Simulator::BuildPollSet(std::vector<pollfd>& fds, std::vector<Watched>& watched) const
{
    fds.clear();
    watched.clear();
    auto watch = [&](int fd, short events, Source source, std::size_t index) {
        fds.push_back(pollfd{fd, events, 0});
        watched.push_back(Watched{source, index});
    };
    watch(stopRead_.Get(), POLLIN, Source::Stop, 0);
    watch(ssdpSocket_.Get(), POLLIN, Source::Ssdp, 0);
    if (connections_.size() < kMaxConnections) {
        for (std::size_t i = 0; i < httpListeners_.size(); ++i) {
            if (httpListeners_[i].Valid()) {
                watch(httpListeners_[i].Get(), POLLIN, Source::Listener, i);
            }
        }
    }
    // A held connection waits for its time, not for its socket.
    for (std::size_t i = 0; i < connections_.size(); ++i) {
        if (connections_[i].phase != Phase::Holding) {
            watch(connections_[i].fd.Get(), connections_[i].phase == Phase::Writing ? POLLOUT : POLLIN,
                  Source::Connection, i);
        }
    }
}

int Simulator::PollTimeoutMs(std::optional<Clock::time_point> runDeadline) const
{
    std::optional<Clock::time_point> next = runDeadline;
    if (nextAlive_ && (!next || *nextAlive_ < *next)) {
        next = nextAlive_;
    }
    for (const Connection& connection : connections_) {
        if (!next || connection.deadline < *next) {
            next = connection.deadline;
        }
        if (connection.phase == Phase::Holding && connection.answerAt < *next) {
            next = connection.answerAt;
        }
    }
    for (const PendingReply& reply : pendingReplies_) {
        if (!next || reply.sendAt < *next) {
            next = reply.sendAt;
        }
    }
    if (!next) {
        return -1;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count()));
}

bool Simulator::Dispatch(const Watched& watched, short events)
{
    switch (watched.source) {
        case Source::Stop:
            return false;
        case Source::Ssdp:
            ReceiveDatagrams();
            break;
        case Source::Listener:
            AcceptConnections(watched.index);
            break;
        case Source::Connection:
            ServeConnection(connections_[watched.index], events);
            break;
    }
    return true;
}

void Simulator::ReceiveDatagrams()
{
    for (int i = 0; i < kDatagramsPerWakeup; ++i) {
        sockaddr_in from{};
        in_addr destination{};
        const ssize_t size = ReceiveWithDestination(ssdpSocket_.Get(), datagram_, from, destination);
        if (size < 0) {
            return;
        }
        const std::string_view bytes(datagram_.data(), static_cast<std::size_t>(size));
        log_.Datagram(from, bytes);
        if (const auto searchTarget = SearchTargetOf(bytes)) {
            AnswerSearch(from, destination, *searchTarget);
        }
    }
}

// As a UPnP device: a multicast search and a unicast one to its own address, nothing sent elsewhere
// (a broadcast, another host's address).
bool Simulator::Hears(const SimDevice& device, in_addr destination) const
{
    return AnswersSearches(device) &&
           (destination.s_addr == config_.searchGroup.s_addr || destination.s_addr == device.address.s_addr);
}

void Simulator::AnswerSearch(const sockaddr_in& from, in_addr destination, const std::string& searchTarget)
{
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (!Hears(devices_[i], destination)) {
            continue;
        }
        const auto reply = BuildSearchReply(devices_[i], searchTarget, HttpPort(i));
        if (!reply) {
            continue;
        }
        if (devices_[i].fault == DeviceFault::LateReply) {
            if (pendingReplies_.size() < kMaxPendingReplies) {
                pendingReplies_.push_back(
                    PendingReply{i, from, *reply, Clock::now() + std::chrono::milliseconds(kLateReplyDelayMs)});
            }
        } else {
            SendReply(i, from, *reply);
        }
    }
}

void Simulator::SendReply(std::size_t device, const sockaddr_in& to, const std::string& datagram) const
{
    // A reply that cannot be sent now is lost, as on a real network.
    ::sendto(replySockets_[device].Get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
}

void Simulator::SendDueReplies()
{
    const Clock::time_point now = Clock::now();
    const auto due = std::stable_partition(pendingReplies_.begin(), pendingReplies_.end(),
                                           [now](const PendingReply& reply) { return reply.sendAt > now; });
    for (auto reply = due; reply != pendingReplies_.end(); ++reply) {
        SendReply(reply->device, reply->to, reply->datagram);
    }
    pendingReplies_.erase(due, pendingReplies_.end());
}

void Simulator::AnnounceIfDue()
{
    const Clock::time_point now = Clock::now();
    if (!nextAlive_ || now < *nextAlive_) {
        return;
    }
    if (alivesSent_ >= kStartAlives) {
        ++reboots_;
    }
    Announce(Announcement::Alive);
    ++alivesSent_;
    nextAlive_ =
        now + (alivesSent_ < kStartAlives ? Clock::duration(kStartAliveGap)
                                          : Clock::duration(std::chrono::milliseconds(config_.announceEveryMs)));
}

void Simulator::Announce(Announcement kind)
{
    const sockaddr_in to = SocketAddress(config_.searchGroup, config_.announcePort);
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const auto message =
            BuildAnnouncement(devices_[i], kind, HttpPort(i), BootIdOf(devices_[i], config_.bootId, reboots_));
        if (!message) {
            continue;
        }
        const int fd = replySockets_[i].Get();
        // Like a reply, an announcement that cannot be sent now is lost; the log says so.
        const ssize_t sent =
            ::sendto(fd, message->data(), message->size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        const int error = sent < 0 ? errno : 0;
        log_.Notify(LocalEndpoint(fd), to, AnnouncementNts(kind), *message, error);
    }
}

void Simulator::AcceptConnections(std::size_t device)
{
    while (connections_.size() < kMaxConnections) {
        Connection connection;
        socklen_t peerLength = sizeof connection.peer;
        connection.fd.Reset(::accept4(httpListeners_[device].Get(), reinterpret_cast<sockaddr*>(&connection.peer),
                                      &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!connection.fd.Valid()) {
            return;
        }
        connection.device = device;
        connection.deadline = Clock::now() + kConnectionLifetime;
        connections_.push_back(std::move(connection));
    }
}

void Simulator::ServeConnection(Connection& connection, short events)
{
    if ((events & (POLLERR | POLLNVAL)) != 0) {
        connection.fd.Reset();
        return;
    }
    switch (connection.phase) {
        case Phase::Reading:
            ReadRequest(connection);
            break;
        case Phase::Holding:
            break;
        case Phase::Writing:
            WriteResponse(connection);
            break;
        case Phase::Draining:
            Drain(connection);
            break;
    }
}

void Simulator::ReadRequest(Connection& connection)
{
    char chunk[kReadChunk];
    const ssize_t size = ::recv(connection.fd.Get(), chunk, sizeof chunk, 0);
    if (size < 0 && WouldBlock()) {
        return;
    }
    if (size <= 0) {
        connection.fd.Reset();
        return;
    }
    connection.request.append(chunk, static_cast<std::size_t>(size));
    const std::size_t end = connection.request.find(kRequestEnd);
    if (end == std::string::npos) {
        // Unbounded headers would be unbounded memory: give up on such a client.
        if (connection.request.size() > kMaxRequestBytes) {
            connection.fd.Reset();
        }
        return;
    }
    connection.request.resize(end + std::strlen(kRequestEnd));
    SimDevice& device = devices_[connection.device];
    log_.HttpRequest(device.address, connection.peer, connection.request);
    ++device.reads;
    // The one description that differs on every read is made for it.
    connection.response = device.fault == DeviceFault::Renames
                              ? std::make_shared<const std::string>(BuildHttpResponse(device))
                              : responses_[connection.device];
    if (device.fault == DeviceFault::SlowDescription) {
        connection.phase = Phase::Holding;
        connection.answerAt = Clock::now() + std::chrono::milliseconds(kSlowDescriptionDelayMs);
        return;
    }
    connection.phase = Phase::Writing;
}

void Simulator::WriteResponse(Connection& connection)
{
    const std::string& response = *connection.response;
    const std::size_t chunk = std::min(kWriteChunk, response.size() - connection.sent);
    const ssize_t size = ::send(connection.fd.Get(), response.data() + connection.sent, chunk, MSG_NOSIGNAL);
    if (size < 0 && WouldBlock()) {
        return;
    }
    if (size < 0) {
        // Clients that read only the head of a long body hang up early.
        connection.fd.Reset();
        return;
    }
    connection.sent += static_cast<std::size_t>(size);
    if (connection.sent < response.size()) {
        return;
    }
    // Half-close and wait for the client to hang up, so that it never sees a reset before the body.
    ::shutdown(connection.fd.Get(), SHUT_WR);
    connection.phase = Phase::Draining;
}

void Simulator::Drain(Connection& connection)
{
    char chunk[kReadChunk];
    const ssize_t size = ::recv(connection.fd.Get(), chunk, sizeof chunk, 0);
    if (size == 0 || (size < 0 && !WouldBlock())) {
        connection.fd.Reset();
    }
}

void Simulator::ReleaseHeldConnections()
{
    const Clock::time_point now = Clock::now();
    for (Connection& connection : connections_) {
        if (connection.phase == Phase::Holding && connection.answerAt <= now) {
            connection.phase = Phase::Writing;
        }
    }
}

void Simulator::DropFinishedConnections()
{
    const Clock::time_point now = Clock::now();
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                      [now](const Connection& connection) {
                                          return !connection.fd.Valid() || connection.deadline <= now;
                                      }),
                       connections_.end());
}

}  // namespace robotsim
