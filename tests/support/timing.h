// The clock of the tests and benchmarks, and bounded waits on it.
#ifndef SEEKWELL_TESTS_TIMING_H
#define SEEKWELL_TESTS_TIMING_H

#include <chrono>
#include <ratio>
#include <thread>

namespace seekwell::test {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kPollStep{10};

// Time since start in Unit (milliseconds unless told), the fraction kept for averages.
template <typename Unit = std::milli>
double Elapsed(Clock::time_point start)
{
    return std::chrono::duration<double, Unit>(Clock::now() - start).count();
}

// Asks done every step until it holds (true) or timeout has passed (false).
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds timeout, std::chrono::milliseconds step = kPollStep)
{
    const Clock::time_point end = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_TIMING_H
