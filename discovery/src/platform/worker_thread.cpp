#include "platform/worker_thread.h"

#include <csignal>

namespace seekwell::platform {

namespace {

// Owns a thread attribute object for the span of one start.
class ThreadAttributes {
public:
    ThreadAttributes() : valid_(pthread_attr_init(&attributes_) == 0) {}
    ~ThreadAttributes()
    {
        if (valid_) {
            pthread_attr_destroy(&attributes_);
        }
    }
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;

    // An explicit size: the host's default (ulimit -s, or one set with
    // pthread_setattr_default_np) may be far too small for the worker.
    bool SetStackSize(std::size_t stackBytes)
    {
        return valid_ && pthread_attr_setstacksize(&attributes_, stackBytes) == 0;
    }
    const pthread_attr_t* Get() const { return &attributes_; }

private:
    pthread_attr_t attributes_;
    bool valid_;
};

}  // namespace

WorkerThread::~WorkerThread() { Join(); }

bool WorkerThread::Start(Procedure procedure, void* argument, std::size_t stackBytes)
{
    ThreadAttributes attributes;
    if (started_ || !attributes.SetStackSize(stackBytes)) {
        return false;
    }
    // A new thread inherits its creator's mask: blocking everything around
    // the creation starts the worker with every signal blocked, so no host
    // handler ever runs on it and no signal meant for the host lands there.
    sigset_t all;
    sigset_t callerMask;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &callerMask);
    started_ = pthread_create(&thread_, attributes.Get(), procedure, argument) == 0;
    pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
    return started_;
}

void WorkerThread::Join()
{
    if (started_) {
        pthread_join(thread_, nullptr);
        started_ = false;
    }
}

}  // namespace seekwell::platform
