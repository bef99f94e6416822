#include "platform/ipv4_interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/interface_rule.h"
#include "platform/ipv4_text.h"

namespace seekwell::platform {

namespace {

bool IsChosen(const ifaddrs& entry, const std::string& name)
{
    // A named interface is taken as the host names it, whatever it can do.
    if (!name.empty()) {
        return (entry.ifa_flags & IFF_UP) != 0 && name == entry.ifa_name;
    }
    return IsSearchableInterface(entry.ifa_flags);
}

in_addr AddressOf(const sockaddr* socketAddress)
{
    return socketAddress != nullptr && socketAddress->sa_family == AF_INET
               ? reinterpret_cast<const sockaddr_in*>(socketAddress)->sin_addr
               : in_addr{};
}

Ipv4Link LinkOf(const ifaddrs& entry)
{
    Ipv4Link link;
    link.address = AddressOf(entry.ifa_addr);
    link.netmask = AddressOf(entry.ifa_netmask);
    link.pointToPoint = (entry.ifa_flags & IFF_POINTOPOINT) != 0;
    if (link.pointToPoint) {
        link.peer = AddressOf(entry.ifa_dstaddr);
    }
    return link;
}

void AddLink(std::vector<Ipv4Interface>& chosen, const ifaddrs& entry)
{
    const auto same = std::find_if(chosen.begin(), chosen.end(),
                                   [&entry](const Ipv4Interface& each) { return each.name == entry.ifa_name; });
    if (same != chosen.end()) {
        same->links.push_back(LinkOf(entry));
        return;
    }
    const unsigned int index = if_nametoindex(entry.ifa_name);
    if (index != 0) {
        chosen.push_back(Ipv4Interface{entry.ifa_name, index, {LinkOf(entry)}});
    }
}

}  // namespace

bool Ipv4Interface::Reaches(in_addr sender) const
{
    return std::any_of(links.begin(), links.end(), [sender](const Ipv4Link& link) {
        if (link.pointToPoint) {
            return sender.s_addr == link.peer.s_addr;
        }
        return (sender.s_addr & link.netmask.s_addr) == (link.address.s_addr & link.netmask.s_addr);
    });
}

const Ipv4Interface* Ipv4Interfaces::ByIndex(unsigned int index) const
{
    const auto found =
        std::find_if(chosen.begin(), chosen.end(), [index](const Ipv4Interface& each) { return each.index == index; });
    return found != chosen.end() ? &*found : nullptr;
}

bool Ipv4Interfaces::IsOwn(in_addr address) const
{
    return std::find(own.begin(), own.end(), address.s_addr) != own.end();
}

int ReadIpv4Interfaces(const std::string& name, Ipv4Interfaces& interfaces)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return errno;
    }
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owned(list, freeifaddrs);
    Ipv4Interfaces read;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        read.own.push_back(AddressOf(entry->ifa_addr).s_addr);
        if (std::find(read.present.begin(), read.present.end(), entry->ifa_name) == read.present.end()) {
            read.present.emplace_back(entry->ifa_name);
        }
        if (IsChosen(*entry, name)) {
            AddLink(read.chosen, *entry);
        }
    }
    interfaces = std::move(read);
    return 0;
}

std::string InterfaceName(unsigned int index)
{
    char name[IF_NAMESIZE] = {};
    return index != 0 && if_indextoname(index, name) != nullptr ? std::string(name) : std::string();
}

std::string InterfaceTowards(in_addr destination)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::string();
    }
    // Any port: a UDP connect only picks the route and the source address.
    const sockaddr_in remote = Ipv4Endpoint(destination, 9);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const bool routed = connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0 &&
                        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    close(fd);
    ifaddrs* list = nullptr;
    if (!routed || getifaddrs(&list) != 0) {
        return std::string();
    }
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owned(list, freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
            AddressOf(entry->ifa_addr).s_addr == local.sin_addr.s_addr) {
            return entry->ifa_name;
        }
    }
    return std::string();
}

}  // namespace seekwell::platform
