#include "traffic_log.h"

#include "device.h"

#include <arpa/inet.h>

#include <cstring>

namespace robotsim {
namespace {

std::string Endpoint(const sockaddr_in& address)
{
    return AddressText(address.sin_addr) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string Payload(std::string_view bytes)
{
    return "bytes=" + std::to_string(bytes.size()) + " data=\"" + EscapeBytes(bytes) + "\"";
}

}  // namespace

std::string EscapeBytes(std::string_view bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string escaped;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            escaped += std::string("\\") + c;
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\t') {
            escaped += "\\t";
        } else if (byte >= 0x20 && byte < 0x7f) {
            escaped += c;
        } else {
            escaped += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 0xf];
        }
    }
    return escaped;
}

bool TrafficLog::Open(const std::string& path)
{
    if (path.empty()) {
        return true;
    }
    file_.reset(std::fopen(path.c_str(), "a"));
    return file_ != nullptr;
}

void TrafficLog::Datagram(const sockaddr_in& from, std::string_view bytes)
{
    Write("ssdp from=" + Endpoint(from) + " " + Payload(bytes));
}

void TrafficLog::HttpRequest(in_addr to, const sockaddr_in& from, std::string_view bytes)
{
    Write("http to=" + AddressText(to) + " from=" + Endpoint(from) + " " + Payload(bytes));
}

void TrafficLog::Notify(const sockaddr_in& from, const sockaddr_in& to, std::string_view nts, std::string_view bytes,
                        int error)
{
    std::string line =
        "notify from=" + Endpoint(from) + " to=" + Endpoint(to) + " nts=" + std::string(nts) + " " + Payload(bytes);
    if (error != 0) {
        line += " error=\"" + EscapeBytes(std::strerror(error)) + "\"";
    }
    Write(line);
}

void TrafficLog::Write(const std::string& line)
{
    if (!file_) {
        return;
    }
    std::fputs((line + "\n").c_str(), file_.get());
    // Tests read the log while the simulator still runs.
    std::fflush(file_.get());
}

}  // namespace robotsim
