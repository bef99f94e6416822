#include "simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ssdp_request.h"

namespace robotsim {
namespace {

constexpr std::size_t kDatagramBufferSize = 65536;
constexpr int kDatagramsPerWakeup = 64;  // keeps HTTP clients served during a datagram flood
// Enough for the clients of a thousand devices reading every description at once; fewer where
// the descriptor limit leaves less room.
constexpr std::size_t kMaxConnections = 4096;
// Per device its SSDP socket and its HTTP listener; then the epoll set, the stop pipe's two ends
// and the group's socket; and some left to the rest of the process (a test's own sockets, a log).
constexpr std::size_t kDescriptorsPerDevice = 2;
constexpr std::size_t kSharedDescriptors = 4;
constexpr std::size_t kSpareDescriptors = 64;
constexpr int kEventsPerWait = 256;
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
// An epoll event's data: what it is about in the top byte, a device's index or a connection's id
// below.
constexpr int kSourceShift = 56;
constexpr std::uint64_t kIndexMask = (std::uint64_t{1} << kSourceShift) - 1;

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
    return RaiseDescriptorLimit(error) && OpenEpoll(error) && OpenStopPipe(error) && OpenSsdpSocket(error) &&
           OpenDeviceSockets(error);
}

// A thousand devices need more descriptors than the soft limit a shell usually gives; the hard
// limit is there for the asking.
bool Simulator::RaiseDescriptorLimit(std::string* error)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        *error = Failure("cannot read the descriptor limit");
        return false;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            *error = Failure("cannot raise the descriptor limit");
            return false;
        }
    }
    const std::size_t sockets = kDescriptorsPerDevice * devices_.size() + kSharedDescriptors + kSpareDescriptors;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= sockets) {
        *error = std::to_string(devices_.size()) + " devices need more than " + std::to_string(sockets) +
                 " descriptors; the limit is " + std::to_string(limit.rlim_cur) + " (ulimit -Hn)";
        return false;
    }
    maxConnections_ = limit.rlim_cur == RLIM_INFINITY
                          ? kMaxConnections
                          : std::min<std::size_t>(kMaxConnections, static_cast<std::size_t>(limit.rlim_cur) - sockets);
    return true;
}

bool Simulator::OpenEpoll(std::string* error)
{
    epoll_.Reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_.Valid()) {
        *error = Failure("epoll");
        return false;
    }
    return true;
}

bool Simulator::Watch(int fd, std::uint32_t events, Source source, std::uint64_t index) const
{
    epoll_event event{};
    event.events = events;
    event.data.u64 = (static_cast<std::uint64_t>(source) << kSourceShift) | (index & kIndexMask);
    return ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event) == 0;
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
    if (!Watch(stopRead_.Get(), EPOLLIN, Source::Stop, 0)) {
        *error = Failure("epoll");
        return false;
    }
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
    if (!Watch(ssdpSocket_.Get(), EPOLLIN, Source::Group, 0)) {
        *error = Failure("epoll");
        return false;
    }
    return !config_.joinGroup || JoinSsdpGroup(ssdpSocket_.Get(), config_.interfaceName, error);
}

// Each device's SSDP socket is bound to its own address on the group socket's port: the kernel
// hands a datagram sent to that address to it, whichever simulator of the host bound the port
// last. Its replies and announcements leave from it.
bool Simulator::OpenDeviceSockets(std::string* error)
{
    const std::uint16_t ssdpPort = SsdpPort();
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const SimDevice& device = devices_[i];
        const std::string address = AddressText(device.address);
        UniqueFd ssdp = OpenBound(SOCK_DGRAM, device.address, ssdpPort, true);
        UniqueFd listener;
        if (ssdp.Valid() && ServesHttp(device)) {
            listener = OpenBound(SOCK_STREAM, device.address, config_.httpPort, true);
            if (listener.Valid() && ::listen(listener.Get(), kListenBacklog) != 0) {
                listener.Reset();
            }
        }
        if (!ssdp.Valid() || (ServesHttp(device) && !listener.Valid())) {
            *error = Failure("cannot serve " + address + " (is the address on an interface?)");
            return false;
        }
        if (config_.announce && !PrepareAnnouncing(ssdp.Get(), device.address, error)) {
            return false;
        }
        if (!Watch(ssdp.Get(), EPOLLIN, Source::Device, i) ||
            (listener.Valid() && !Watch(listener.Get(), EPOLLIN, Source::Listener, i))) {
            *error = Failure("epoll");
            return false;
        }
        deviceSockets_.push_back(std::move(ssdp));
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
    std::vector<epoll_event> events(kEventsPerWait);
    for (;;) {
        if (runDeadline && Clock::now() >= *runDeadline) {
            return;
        }
        AnnounceIfDue();
        const int ready = ::epoll_wait(epoll_.Get(), events.data(), kEventsPerWait, WaitTimeoutMs(runDeadline));
        if (ready < 0 && errno != EINTR) {
            return;
        }
        for (int i = 0; i < ready; ++i) {
            if (!Dispatch(events[i].data.u64, events[i].events)) {
                return;
            }
        }
        SendDueReplies();
        ReleaseHeldConnections();
        DropFinishedConnections();
        ResumeListeners();
    }
}

int Simulator::WaitTimeoutMs(std::optional<Clock::time_point> runDeadline) const
{
    std::optional<Clock::time_point> next = runDeadline;
    if (nextAlive_ && (!next || *nextAlive_ < *next)) {
        next = nextAlive_;
    }
    for (const auto& [id, connection] : connections_) {
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

bool Simulator::Dispatch(std::uint64_t tag, std::uint32_t events)
{
    const std::uint64_t index = tag & kIndexMask;
    switch (static_cast<Source>(tag >> kSourceShift)) {
        case Source::Stop:
            return false;
        case Source::Group:
            ReceiveDatagrams(ssdpSocket_.Get(), std::nullopt);
            break;
        case Source::Device:
            ReceiveDatagrams(deviceSockets_[index].Get(), index);
            break;
        case Source::Listener:
            AcceptConnections(index);
            break;
        case Source::Connection:
            ServeConnection(index, events);
            break;
    }
    return true;
}

// On the group's socket the destination decides who answers; a device's own socket hears only
// what was sent to that device.
void Simulator::ReceiveDatagrams(int fd, std::optional<std::size_t> device)
{
    for (int i = 0; i < kDatagramsPerWakeup; ++i) {
        sockaddr_in from{};
        in_addr destination{};
        const ssize_t size = ReceiveWithDestination(fd, datagram_, from, destination);
        if (size < 0) {
            return;
        }
        const std::string_view bytes(datagram_.data(), static_cast<std::size_t>(size));
        log_.Datagram(from, bytes);
        const auto searchTarget = SearchTargetOf(bytes);
        if (!searchTarget) {
            continue;
        }
        if (!device) {
            AnswerSearch(from, destination, *searchTarget);
        } else if (Hears(devices_[*device], devices_[*device].address)) {
            AnswerAs(*device, from, *searchTarget);
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

// Every device that hears the search answers it at once, whatever MX it names.
void Simulator::AnswerSearch(const sockaddr_in& from, in_addr destination, const std::string& searchTarget)
{
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (Hears(devices_[i], destination)) {
            AnswerAs(i, from, searchTarget);
        }
    }
}

void Simulator::AnswerAs(std::size_t device, const sockaddr_in& from, const std::string& searchTarget)
{
    const auto reply = BuildSearchReply(devices_[device], searchTarget, HttpPort(device));
    if (!reply) {
        return;
    }
    if (devices_[device].fault == DeviceFault::LateReply) {
        if (pendingReplies_.size() < kMaxPendingReplies) {
            pendingReplies_.push_back(
                PendingReply{device, from, *reply, Clock::now() + std::chrono::milliseconds(kLateReplyDelayMs)});
        }
    } else {
        SendReply(device, from, *reply);
    }
}

void Simulator::SendReply(std::size_t device, const sockaddr_in& to, const std::string& datagram) const
{
    // A reply that cannot be sent now is lost, as on a real network.
    ::sendto(deviceSockets_[device].Get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
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
        const int fd = deviceSockets_[i].Get();
        // Like a reply, an announcement that cannot be sent now is lost; the log says so.
        const ssize_t sent =
            ::sendto(fd, message->data(), message->size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        const int error = sent < 0 ? errno : 0;
        log_.Notify(LocalEndpoint(fd), to, AnnouncementNts(kind), *message, error);
    }
}

void Simulator::AcceptConnections(std::size_t device)
{
    for (;;) {
        // At the most, or out of descriptors: the listener leaves the set, lest it wake the loop
        // for nothing, and its clients wait in its backlog.
        if (connections_.size() >= maxConnections_) {
            PauseListener(device);
            return;
        }
        Connection connection;
        socklen_t peerLength = sizeof connection.peer;
        connection.fd.Reset(::accept4(httpListeners_[device].Get(), reinterpret_cast<sockaddr*>(&connection.peer),
                                      &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!connection.fd.Valid()) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                PauseListener(device);
            }
            return;
        }
        connection.device = device;
        connection.deadline = Clock::now() + kConnectionLifetime;
        const std::uint64_t id = nextConnectionId_++;
        WatchConnection(id, connections_.emplace(id, std::move(connection)).first->second);
    }
}

void Simulator::PauseListener(std::size_t device)
{
    if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, httpListeners_[device].Get(), nullptr) == 0) {
        pausedListeners_.push_back(device);
    }
}

void Simulator::ResumeListeners()
{
    if (pausedListeners_.empty() || connections_.size() >= maxConnections_) {
        return;
    }
    for (const std::size_t device : pausedListeners_) {
        Watch(httpListeners_[device].Get(), EPOLLIN, Source::Listener, device);
    }
    pausedListeners_.clear();
}

void Simulator::ServeConnection(std::uint64_t id, std::uint32_t events)
{
    const auto found = connections_.find(id);
    if (found == connections_.end() || !found->second.fd.Valid()) {
        return;
    }
    Connection& connection = found->second;
    if ((events & EPOLLERR) != 0) {
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
    if (connection.fd.Valid()) {
        WatchConnection(id, connection);
    }
}

// Asks epoll for what the connection's phase waits for; a held connection waits for its time, not
// for its socket, and stays out of the set.
void Simulator::WatchConnection(std::uint64_t id, Connection& connection)
{
    std::uint32_t wanted = 0;
    switch (connection.phase) {
        case Phase::Reading:
        case Phase::Draining:
            wanted = EPOLLIN;
            break;
        case Phase::Writing:
            wanted = EPOLLOUT;
            break;
        case Phase::Holding:
            break;
    }
    if (wanted == connection.watching) {
        return;
    }
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = (static_cast<std::uint64_t>(Source::Connection) << kSourceShift) | (id & kIndexMask);
    const int operation = connection.watching == 0 ? EPOLL_CTL_ADD : wanted == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    if (::epoll_ctl(epoll_.Get(), operation, connection.fd.Get(), &event) != 0) {
        connection.fd.Reset();
        return;
    }
    connection.watching = wanted;
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
    for (auto& [id, connection] : connections_) {
        if (connection.phase == Phase::Holding && connection.answerAt <= now && connection.fd.Valid()) {
            connection.phase = Phase::Writing;
            WatchConnection(id, connection);
        }
    }
}

void Simulator::DropFinishedConnections()
{
    const Clock::time_point now = Clock::now();
    for (auto connection = connections_.begin(); connection != connections_.end();) {
        if (!connection->second.fd.Valid() || connection->second.deadline <= now) {
            connection = connections_.erase(connection);
        } else {
            ++connection;
        }
    }
}

}  // namespace robotsim
