// A descriptor one thread makes readable to wake another out of its poll or
// epoll wait: an eventfd, close-on-exec and non-blocking.
#ifndef SEEKWELL_PLATFORM_WAKE_EVENT_H
#define SEEKWELL_PLATFORM_WAKE_EVENT_H

#include <atomic>

namespace seekwell::platform {

class WakeEvent {
public:
    WakeEvent() = default;
    ~WakeEvent() { Close(); }
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // 0, or the errno of the descriptor that could not be made.
    int Open();
    // -1 before Open and after Close.
    int Fd() const { return fd_.load(); }
    // Makes the descriptor readable; harmless when it already is.
    void Signal() const;
    // Makes it quiet again until the next Signal.
    void Drain() const;
    // Takes no lock, so a forked child can release its copy whatever the
    // parent's threads held at the fork.
    void Close();

private:
    std::atomic<int> fd_{-1};
};

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_WAKE_EVENT_H
