// The response window of the call in progress, counted from the moment the
// call may search: the finder helper's start-up is spent inside the window
// rather than added after it, as the built-in search's socket set-up is.
#ifndef SEEKWELL_CALL_WINDOW_H
#define SEEKWELL_CALL_WINDOW_H

#include <chrono>

namespace seekwell {

// Marks the window's start for as long as it lives; one at a time (the call
// lock is held meanwhile).
class CallWindow {
public:
    CallWindow();
    ~CallWindow();
    CallWindow(const CallWindow&) = delete;
    CallWindow& operator=(const CallWindow&) = delete;
};

// What is left of the window of the call in progress; the whole window
// when no call is in progress.
std::chrono::milliseconds CallWindowLeft();

}  // namespace seekwell

#endif  // SEEKWELL_CALL_WINDOW_H
