// The simulated network devices: one SSDP listener answering for all of them, and one HTTP
// server per device serving its description, all driven by one poll() loop. A search sent to the
// group is answered by every device, one sent to a device's own address by that device alone.
// Announcing devices multicast ssdp:alive from their own address at the start and periodically,
// and ssdp:byebye when the run ends.
#ifndef ROBOT_SIM_SIMULATOR_H
#define ROBOT_SIM_SIMULATOR_H

#include <netinet/in.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
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
    enum class Source { Stop, Ssdp, Listener, Connection };
    struct Watched {
        Source source;
        std::size_t index;
    };

    bool OpenSsdpSocket(std::string* error);
    bool OpenDeviceSockets(std::string* error);
    bool OpenStopPipe(std::string* error);
    bool PrepareAnnouncing(int fd, in_addr address, std::string* error) const;

    void Serve();

    void BuildPollSet(std::vector<pollfd>& fds, std::vector<Watched>& watched) const;
    int PollTimeoutMs(std::optional<Clock::time_point> runDeadline) const;
    bool Dispatch(const Watched& watched, short events);

    void ReceiveDatagrams();
    bool Hears(const SimDevice& device, in_addr destination) const;
    void AnswerSearch(const sockaddr_in& from, in_addr destination, const std::string& searchTarget);
    void AcceptConnections(std::size_t device);
    void ServeConnection(Connection& connection, short events);
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
    UniqueFd ssdpSocket_;
    std::vector<UniqueFd> replySockets_;
    std::vector<UniqueFd> httpListeners_;
    std::vector<Connection> connections_;
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
