#include "scripted_http_peer.h"

#include "loopback_sockets.h"
#include "timing.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

namespace seekwell::test {

namespace {

constexpr int kRequestWaitMs = 2000;
constexpr std::size_t kMaxRequestHead = 64 * 1024;
constexpr std::size_t kEndlessBlock = 64 * 1024;
// Connections served at once; more wait in the listener's queue.
constexpr std::size_t kMaxConnections = 64;
// Connection threads bring their own stack size: a test may shrink the
// process's default for the library's threads while the peer serves.
constexpr std::size_t kConnectionStackBytes = 8 << 20;

constexpr int kPollStepMs = static_cast<int>(kPollStep.count());

bool StartThread(pthread_t& thread, std::function<void()> body)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kConnectionStackBytes);
    auto* owned = new std::function<void()>(std::move(body));
    const int error = pthread_create(
        &thread, &attributes,
        [](void* argument) -> void* {
            const std::unique_ptr<std::function<void()>> run(static_cast<std::function<void()>*>(argument));
            (*run)();
            return nullptr;
        },
        owned);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete owned;
    }
    return error == 0;
}

}  // namespace

void PeerConnection::ReadRequestHead()
{
    std::string& head = requestHead_;
    char chunk[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead &&
           Readable(fd_, kRequestWaitMs)) {
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        head.append(chunk, static_cast<std::size_t>(n));
    }
}

bool PeerConnection::Send(const std::string& bytes)
{
    for (std::size_t sent = 0; sent < bytes.size();) {
        pollfd entry{fd_, POLLOUT, 0};
        if (stopping_ || poll(&entry, 1, kPollStepMs) < 0) {
            return false;
        }
        if ((entry.revents & POLLOUT) == 0) {
            continue;
        }
        const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
        bytesSent_ += static_cast<std::size_t>(n);
    }
    return true;
}

void PeerConnection::WaitForClientToLeave()
{
    char sink[4096];
    while (!stopping_) {
        if (Readable(fd_, kPollStepMs) && recv(fd_, sink, sizeof sink, 0) <= 0) {
            return;
        }
    }
}

bool PeerConnection::Pause(std::chrono::milliseconds duration)
{
    return !WaitUntil([this] { return stopping_.load(); }, duration);
}

void PeerConnection::Reset()
{
    const linger abort{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    shutdown(fd_, SHUT_RD);
}

ScriptedHttpPeer::ScriptedHttpPeer(const char* address, std::uint16_t port, PeerBehaviour behaviour)
    : ScriptedHttpPeer(Listener(address, port, SOMAXCONN), std::move(behaviour))
{
}

ScriptedHttpPeer::ScriptedHttpPeer(int listener, PeerBehaviour behaviour)
    : listener_(listener), behaviour_(std::move(behaviour))
{
    thread_ = std::thread(&ScriptedHttpPeer::Serve, this);
}

ScriptedHttpPeer::~ScriptedHttpPeer()
{
    stopping_ = true;
    thread_.join();
    close(listener_);
}

std::uint16_t ScriptedHttpPeer::Port() const { return LocalPort(listener_); }

std::vector<std::string> ScriptedHttpPeer::Requests() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool ScriptedHttpPeer::WaitUntilServed(int connections, std::chrono::milliseconds timeout) const
{
    return WaitUntil([this, connections] { return served_ >= connections; }, timeout);
}

void ScriptedHttpPeer::Serve()
{
    while (!stopping_) {
        JoinWorkers(false);
        if (workers_.size() >= kMaxConnections) {
            std::this_thread::sleep_for(kPollStep);
            continue;
        }
        const int fd = Readable(listener_, kPollStepMs) ? accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (fd < 0) {
            continue;
        }
        Worker& worker = workers_.emplace_back();
        if (!StartThread(worker.thread, [this, fd, &worker] { ServeConnection(fd, worker.finished); })) {
            close(fd);
            workers_.pop_back();
        }
    }
    JoinWorkers(true);
}

void ScriptedHttpPeer::ServeConnection(int fd, std::atomic<bool>& finished)
{
    PeerConnection connection(fd, stopping_);
    connection.ReadRequestHead();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(connection.RequestHead());
    }
    behaviour_(connection);
    lastBytesSent_ = connection.BytesSent();
    close(fd);
    ++served_;
    finished = true;
}

void ScriptedHttpPeer::JoinWorkers(bool all)
{
    for (auto worker = workers_.begin(); worker != workers_.end();) {
        if (all || worker->finished) {
            pthread_join(worker->thread, nullptr);
            worker = workers_.erase(worker);
        } else {
            ++worker;
        }
    }
}

StalledListener::StalledListener(const char* address, std::uint16_t port)
    : listener_(Listener(address, port, 0)), queuedClient_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    // With a backlog of 0 the queue holds one connection; this one fills it.
    const sockaddr_in server = Address(address, Port());
    if (connect(queuedClient_, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        throw std::runtime_error("cannot fill the accept queue");
    }
}

StalledListener::~StalledListener()
{
    close(queuedClient_);
    close(listener_);
}

std::uint16_t StalledListener::Port() const { return LocalPort(listener_); }

PeerBehaviour Answer(std::string response)
{
    return [response](PeerConnection& connection) {
        connection.Send(response);
        connection.WaitForClientToLeave();
    };
}

PeerBehaviour NeverAnswer()
{
    return [](PeerConnection& connection) { connection.WaitForClientToLeave(); };
}

PeerBehaviour CloseAtOnce()
{
    return [](PeerConnection&) {};
}

PeerBehaviour DripBody(std::chrono::milliseconds interval)
{
    return [interval](PeerConnection& connection) {
        if (!connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n<UDN>R0VA")) {
            return;
        }
        while (connection.Pause(interval) && connection.Send("x")) {
        }
    };
}

PeerBehaviour ResetMidBody(std::string bodyStart)
{
    return [bodyStart](PeerConnection& connection) {
        const std::string declared = std::to_string(bodyStart.size() * 4);
        connection.Send("HTTP/1.1 200 OK\r\nContent-Length: " + declared + "\r\n\r\n" + bodyStart);
        connection.Pause(std::chrono::milliseconds(100));
        connection.Reset();
    };
}

PeerBehaviour EndlessBody(std::size_t declaredBytes)
{
    return [declaredBytes](PeerConnection& connection) {
        connection.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(declaredBytes) + "\r\n\r\n");
        const std::string block(kEndlessBlock, 'x');
        while (connection.BytesSent() < declaredBytes && connection.Send(block)) {
        }
    };
}

std::string HostOfRequest(const std::string& head)
{
    constexpr char kHostHeader[] = "\r\nHost: ";
    const std::string::size_type at = head.find(kHostHeader);
    if (at == std::string::npos) {
        return "";
    }
    const std::string::size_type from = at + sizeof kHostHeader - 1;
    return head.substr(from, head.find("\r\n", from) - from);
}

PeerBehaviour AnswerByHost(std::map<std::string, std::string> responses, std::string fallback)
{
    return [responses, fallback](PeerConnection& connection) {
        const auto known = responses.find(HostOfRequest(connection.RequestHead()));
        connection.Send(known == responses.end() ? fallback : known->second);
        connection.WaitForClientToLeave();
    };
}

PeerBehaviour AnswerEach(std::function<std::string(const std::string& head)> respond)
{
    return [respond](PeerConnection& connection) {
        connection.Send(respond(connection.RequestHead()));
        connection.WaitForClientToLeave();
    };
}

std::string Response(const std::string& body, const std::string& headers, const std::string& status)
{
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
           headers + "\r\n" + body;
}

std::string Description(const std::string& udn, const std::string& friendlyName, const std::string& presentationUrl)
{
    return "<?xml version=\"1.0\"?>\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
           "<friendlyName>" +
           friendlyName +
           "</friendlyName><manufacturer>Maker</manufacturer>"
           "<modelName>Model 7</modelName><modelDescription>Walking robot</modelDescription>"
           "<UDN>" +
           udn + "</UDN><presentationURL>" + presentationUrl + "</presentationURL></device></root>\n";
}

std::string RobotDescription(const std::string& friendlyName, const std::string& udn)
{
    return Description(udn, friendlyName);
}

PeerBehaviour AnswerThenClose(std::string response)
{
    return [response](PeerConnection& connection) { connection.Send(response); };
}

PeerBehaviour SendInSteps(std::vector<std::string> parts, std::chrono::milliseconds pause)
{
    return [parts, pause](PeerConnection& connection) {
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if ((i > 0 && !connection.Pause(pause)) || !connection.Send(parts[i])) {
                return;
            }
        }
        connection.WaitForClientToLeave();
    };
}

}  // namespace seekwell::test
