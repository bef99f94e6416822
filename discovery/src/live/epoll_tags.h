// What the search thread's epoll entries carry: a tag in the upper half of
// the data that says whose descriptor it is, the descriptor in the lower.
#ifndef SEEKWELL_LIVE_EPOLL_TAGS_H
#define SEEKWELL_LIVE_EPOLL_TAGS_H

#include <cstdint>

namespace seekwell::live {

enum class EpollTag : std::uint32_t { Wake = 1, SearchSocket = 2, FetchSocket = 3, LinkWatch = 4 };

constexpr std::uint64_t EpollData(EpollTag tag, int fd)
{
    return std::uint64_t{static_cast<std::uint32_t>(tag)} << 32 | static_cast<std::uint32_t>(fd);
}
constexpr EpollTag TagOf(std::uint64_t data) { return static_cast<EpollTag>(data >> 32); }
constexpr int FdOf(std::uint64_t data) { return static_cast<int>(data & 0xffffffffu); }

}  // namespace seekwell::live

#endif  // SEEKWELL_LIVE_EPOLL_TAGS_H
