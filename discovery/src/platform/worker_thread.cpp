#include "worker_thread.h"

#include <csignal>

namespace seekwell::platform {

namespace {

// Owns a thread attribute object for the span of one start.
class CThreadAttributes {
public:
    CThreadAttributes() : m_bValid(pthread_attr_init(&m_Attributes) == 0) {}
    ~CThreadAttributes()
    {
        if (m_bValid) {
            pthread_attr_destroy(&m_Attributes);
        }
    }
    CThreadAttributes(const CThreadAttributes&) = delete;
    CThreadAttributes& operator=(const CThreadAttributes&) = delete;

    // An explicit size: the host's default (ulimit -s, or one set with
    // pthread_setattr_default_np) may be far too small for the worker.
    bool SetStackSize(std::size_t stackBytes)
    {
        return m_bValid && pthread_attr_setstacksize(&m_Attributes, stackBytes) == 0;
    }
    const pthread_attr_t* Get() const { return &m_Attributes; }

private:
    pthread_attr_t m_Attributes;
    bool m_bValid;
};

}  // namespace

CWorkerThread::~CWorkerThread()
{
    Join();
}

bool CWorkerThread::Start(Procedure procedure, void* argument, std::size_t stackBytes)
{
    CThreadAttributes attributes;
    if (m_bStarted || !attributes.SetStackSize(stackBytes)) {
        return false;
    }
    // A new thread inherits its creator's mask: blocking everything around
    // the creation starts the worker with every signal blocked, so no host
    // handler ever runs on it and no signal meant for the host lands there.
    sigset_t all;
    sigset_t callerMask;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &callerMask);
    m_bStarted = pthread_create(&m_hThread, attributes.Get(), procedure, argument) == 0;
    pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
    return m_bStarted;
}

void CWorkerThread::Join()
{
    if (m_bStarted) {
        pthread_join(m_hThread, nullptr);
        m_bStarted = false;
    }
}

}  // namespace seekwell::platform
