#include "scripted_http_peer.h"

#include "socket_address.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace seekwell::test {

namespace {

constexpr int kPollStepMs = 10;
constexpr int kRequestWaitMs = 2000;
constexpr std::size_t kMaxRequestHead = 64 * 1024;
constexpr std::size_t kEndlessBlock = 64 * 1024;
// Connections served at once; more wait in the listener's queue.
constexpr std::size_t kMaxConnections = 64;

int Listen(const char* address, std::uint16_t port, int backlog)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = Address(address, port);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        listen(fd, backlog) != 0) {
        throw std::runtime_error("cannot listen on a test address");
    }
    return fd;
}

std::uint16_t LocalPort(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

bool Readable(int fd, int timeoutMs)
{
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

}  // namespace

void PeerConnection::ReadRequestHead()
{
    std::string& head = m_RequestHead;
    char chunk[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead &&
           Readable(m_Fd, kRequestWaitMs)) {
        const ssize_t n = recv(m_Fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        head.append(chunk, static_cast<std::size_t>(n));
    }
}

bool PeerConnection::Send(const std::string& bytes)
{
    for (std::size_t sent = 0; sent < bytes.size();) {
        pollfd entry{m_Fd, POLLOUT, 0};
        if (m_Stopping || poll(&entry, 1, kPollStepMs) < 0) {
            return false;
        }
        if ((entry.revents & POLLOUT) == 0) {
            continue;
        }
        const ssize_t n = send(m_Fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
        m_BytesSent += static_cast<std::size_t>(n);
    }
    return true;
}

void PeerConnection::WaitForClientToLeave()
{
    char sink[4096];
    while (!m_Stopping) {
        if (Readable(m_Fd, kPollStepMs) && recv(m_Fd, sink, sizeof sink, 0) <= 0) {
            return;
        }
    }
}

bool PeerConnection::Pause(std::chrono::milliseconds duration)
{
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!m_Stopping && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    }
    return !m_Stopping;
}

void PeerConnection::Reset()
{
    const linger abort{1, 0};
    setsockopt(m_Fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    shutdown(m_Fd, SHUT_RD);
}

ScriptedHttpPeer::ScriptedHttpPeer(const char* address, std::uint16_t port, PeerBehaviour behaviour)
    : m_Listener(Listen(address, port, SOMAXCONN)), m_Behaviour(std::move(behaviour))
{
    m_Thread = std::thread(&ScriptedHttpPeer::Serve, this);
}

ScriptedHttpPeer::~ScriptedHttpPeer()
{
    m_Stopping = true;
    m_Thread.join();
    close(m_Listener);
}

std::uint16_t ScriptedHttpPeer::Port() const { return LocalPort(m_Listener); }

std::vector<std::string> ScriptedHttpPeer::Requests() const
{
    const std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Requests;
}

bool ScriptedHttpPeer::WaitUntilServed(int connections, std::chrono::milliseconds timeout) const
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (m_Served < connections && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    }
    return m_Served >= connections;
}

void ScriptedHttpPeer::Serve()
{
    while (!m_Stopping) {
        JoinWorkers(false);
        if (m_Workers.size() >= kMaxConnections) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
            continue;
        }
        const int fd = Readable(m_Listener, kPollStepMs) ? accept4(m_Listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (fd < 0) {
            continue;
        }
        Worker& worker = m_Workers.emplace_back();
        worker.thread = std::thread(&ScriptedHttpPeer::ServeConnection, this, fd, std::ref(worker.finished));
    }
    JoinWorkers(true);
}

void ScriptedHttpPeer::ServeConnection(int fd, std::atomic<bool>& finished)
{
    PeerConnection connection(fd, m_Stopping);
    connection.ReadRequestHead();
    {
        const std::lock_guard<std::mutex> lock(m_Mutex);
        m_Requests.push_back(connection.RequestHead());
    }
    m_Behaviour(connection);
    m_LastBytesSent = connection.BytesSent();
    close(fd);
    ++m_Served;
    finished = true;
}

void ScriptedHttpPeer::JoinWorkers(bool all)
{
    for (auto worker = m_Workers.begin(); worker != m_Workers.end();) {
        if (all || worker->finished) {
            worker->thread.join();
            worker = m_Workers.erase(worker);
        } else {
            ++worker;
        }
    }
}

StalledListener::StalledListener(const char* address, std::uint16_t port)
    : m_Listener(Listen(address, port, 0)), m_QueuedClient(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    // With a backlog of 0 the queue holds one connection; this one fills it.
    const sockaddr_in server = Address(address, Port());
    if (connect(m_QueuedClient, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        throw std::runtime_error("cannot fill the accept queue");
    }
}

StalledListener::~StalledListener()
{
    close(m_QueuedClient);
    close(m_Listener);
}

std::uint16_t StalledListener::Port() const { return LocalPort(m_Listener); }

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
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n" + headers + "\r\n" + body;
}

std::string RobotDescription(const std::string& friendlyName)
{
    return "<?xml version=\"1.0\"?>\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
           "<friendlyName>" + friendlyName + "</friendlyName><manufacturer>Maker</manufacturer>"
           "<modelName>Model 7</modelName><modelDescription>Walking robot</modelDescription>"
           "<UDN>uuid:00000000-0000-1000-8000-R0VA00000001</UDN>"
           "<presentationURL>index.html</presentationURL></device></root>\n";
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
