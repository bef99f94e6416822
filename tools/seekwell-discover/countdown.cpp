#include "countdown.h"

#include <string>

namespace seekwell_discover {
namespace {

// Wide enough to cover the longest status line.
constexpr int kStatusWidth = 40;

}  // namespace

Countdown::Countdown(std::FILE* out, std::chrono::milliseconds window, std::chrono::milliseconds tick)
    : out_(out), window_(window), tick_(tick), thread_(&Countdown::Run, this)
{
}

Countdown::~Countdown()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_one();
    thread_.join();
    std::fprintf(out_, "\r%*s\r", kStatusWidth, "");
    std::fflush(out_);
}

void Countdown::Run()
{
    const auto end = std::chrono::steady_clock::now() + window_;
    std::unique_lock<std::mutex> lock(mutex_);
    do {
        ShowStatus(end);
    } while (!stop_.wait_for(lock, tick_, [this] { return stopping_; }));
}

void Countdown::ShowStatus(std::chrono::steady_clock::time_point end)
{
    const auto left = std::chrono::ceil<std::chrono::seconds>(end - std::chrono::steady_clock::now());
    if (left.count() > 0) {
        std::fprintf(out_, "\rSearching for robots: %2lld s left ", static_cast<long long>(left.count()));
    } else {
        std::fprintf(out_, "\rReading robot descriptions...     ");
    }
    std::fflush(out_);
}

}  // namespace seekwell_discover
