// The simulated network devices, all driven by one epoll loop: an SSDP socket on the wildcard
// address that hears the group, and per device an SSDP socket on its own address and an HTTP
// server serving its description. A search sent to the group is answered by every device, one
// sent to a device's own address by that device alone, also where several simulators share a
// host: the kernel hands a unicast datagram to the socket bound to its destination. Every device
// answers a search at once, whatever its MX asks, so a multicast search meets a burst of replies.
// Announcing devices multicast ssdp:alive from their own address at the start and periodically,
// and ssdp:byebye when the run ends.
#ifndef ROBOT_SIM_SIMULATOR_H
#define ROBOT_SIM_SIMULATOR_H

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device.h"
#include "sim_config.h"
#include "traffic_log.h"
#include "unique_fd.h"

namespace robotsim {

class Simulator {
public:
    explicit Simulator(SimConfig config);

    // Opens every socket and the log; false with a reason when something cannot be opened.
    bool Start(std::string* error);
    // Serves until Stop() or, when the configuration sets one, until the duration has passed;
    // announcing devices say goodbye before it returns.
    void Run();
    // Only writes to a pipe: safe from a signal handler and from any thread.
    void Stop() const;

    // The port of every SSDP socket: the group's and each device's own.
    std::uint16_t SsdpPort() const;
    std::uint16_t HttpPort(std::size_t device) const;
    const std::vector<SimDevice>& Devices() const { return devices_; }

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { Reading, Holding, Writing, Draining };
    struct Connection {
        UniqueFd fd;
        std::size_t device = 0;
        sockaddr_in peer{};
        std::string request;
        std::size_t sent = 0;
        Phase phase = Phase::Reading;
        std::uint32_t watching = 0;  // epoll events asked for; 0 while out of the set
        Clock::time_point deadline;
        Clock::time_point answerAt;                   // while holding: when the response starts
        std::shared_ptr<const std::string> response;  // chosen once the request is in
    };
    struct PendingReply {
        std::size_t device = 0;
        sockaddr_in to{};
        std::string datagram;
        Clock::time_point sendAt;
    };
    // What an epoll event is about, with a device's index or a connection's id beside it.
    enum class Source : std::uint8_t { Stop, Group, Device, Listener, Connection };

    bool RaiseDescriptorLimit(std::string* error);
    bool OpenEpoll(std::string* error);
    bool OpenSsdpSocket(std::string* error);
    bool OpenDeviceSockets(std::string* error);
    bool OpenStopPipe(std::string* error);
    bool PrepareAnnouncing(int fd, in_addr address, std::string* error) const;
    bool Watch(int fd, std::uint32_t events, Source source, std::uint64_t index) const;

    void Serve();

    int WaitTimeoutMs(std::optional<Clock::time_point> runDeadline) const;
    bool Dispatch(std::uint64_t tag, std::uint32_t events);

    void ReceiveDatagrams(int fd, std::optional<std::size_t> device);
    bool Hears(const SimDevice& device, in_addr destination) const;
    void AnswerSearch(const sockaddr_in& from, in_addr destination, const std::string& searchTarget);
    void AnswerAs(std::size_t device, const sockaddr_in& from, const std::string& searchTarget);
    void AcceptConnections(std::size_t device);
    void PauseListener(std::size_t device);
    void ResumeListeners();
    void ServeConnection(std::uint64_t id, std::uint32_t events);
    void WatchConnection(std::uint64_t id, Connection& connection);
    void ReadRequest(Connection& connection);
    void WriteResponse(Connection& connection);
    void Drain(Connection& connection);
    void SendReply(std::size_t device, const sockaddr_in& to, const std::string& datagram) const;
    void SendDueReplies();
    void AnnounceIfDue();
    void Announce(Announcement kind);
    void ReleaseHeldConnections();
    void DropFinishedConnections();

    SimConfig config_;
    std::vector<SimDevice> devices_;
    std::vector<std::shared_ptr<const std::string>> responses_;
    UniqueFd epoll_;
    UniqueFd ssdpSocket_;                  // the group's, and whatever else reaches the port unbound
    std::vector<UniqueFd> deviceSockets_;  // each device's own address; its replies leave from it
    std::vector<UniqueFd> httpListeners_;
    std::vector<std::size_t> pausedListeners_;         // out of the epoll set while connections are at the most
    std::map<std::uint64_t, Connection> connections_;  // by id, which an epoll event carries
    std::uint64_t nextConnectionId_ = 0;
    std::size_t maxConnections_ = 0;
    std::vector<PendingReply> pendingReplies_;
    UniqueFd stopRead_;
    UniqueFd stopWrite_;
    std::vector<char> datagram_;
    std::optional<Clock::time_point> nextAlive_;  // set while announcing
    int alivesSent_ = 0;                          // rounds, one alive per device each
    int reboots_ = 0;                             // periodic rounds, each a new boot of a renames robot
    TrafficLog log_;
};

}  // namespace robotsim

#endif  // ROBOT_SIM_SIMULATOR_H
