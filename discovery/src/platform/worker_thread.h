// A worker thread that a host cannot disturb: it starts with every signal
// blocked and on a stack of its own size, whatever the host's defaults.
#ifndef SEEKWELL_PLATFORM_WORKER_THREAD_H
#define SEEKWELL_PLATFORM_WORKER_THREAD_H

#include <pthread.h>

#include <cstddef>

namespace seekwell::platform {

class CWorkerThread {
public:
    using Procedure = void* (*)(void* argument);

    CWorkerThread() = default;
    // Waits for a started worker, so none outlives what it works on.
    ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // False when the thread could not be started; nothing runs then. The
    // calling thread's signal mask is the same afterwards as before.
    bool Start(Procedure procedure, void* argument, std::size_t stackBytes);
    // Waits until a started worker has ended; does nothing otherwise.
    void Join();

private:
    pthread_t m_hThread{};
    bool m_bStarted = false;
};

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_WORKER_THREAD_H
