// Shows the seconds left of the search window while the search blocks the main thread.
#ifndef SEEKWELL_DISCOVER_COUNTDOWN_H
#define SEEKWELL_DISCOVER_COUNTDOWN_H

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace seekwell_discover {

class Countdown {
public:
    // Starts a side thread that rewrites one status line on `out` every `tick` until destroyed.
    Countdown(std::FILE* out, std::chrono::milliseconds window, std::chrono::milliseconds tick);
    // Stops the thread and blanks the status line.
    ~Countdown();
    Countdown(const Countdown&) = delete;
    Countdown& operator=(const Countdown&) = delete;

private:
    void Run();
    void ShowStatus(std::chrono::steady_clock::time_point end);

    std::FILE* out_;
    std::chrono::milliseconds window_;
    std::chrono::milliseconds tick_;
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace seekwell_discover

#endif  // SEEKWELL_DISCOVER_COUNTDOWN_H
