// Stands in for the platform's thread creation: a worker that a host cannot
// disturb, started with every signal blocked and on a stack of its own size.
#ifndef SEEKWELL_PLATFORM_WORKER_THREAD_H
#define SEEKWELL_PLATFORM_WORKER_THREAD_H

#include <pthread.h>

#include <cstddef>

namespace seekwell::platform {

class WorkerThread {
public:
    using Procedure = void* (*)(void* argument);

    WorkerThread() = default;
    // Waits for a started worker, so none outlives what it works on.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // False when the thread could not be started; nothing runs then. The
    // calling thread's signal mask is the same afterwards as before.
    bool Start(Procedure procedure, void* argument, std::size_t stackBytes);
    // Waits until a started worker has ended; does nothing otherwise.
    void Join();

private:
    pthread_t thread_{};
    bool started_ = false;
};

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_WORKER_THREAD_H
