#include "upnp_search_wnd.h"

#include <chrono>
#include <new>
#include <thread>

#include "platform/internet_session.h"

namespace seekwell {

namespace {

// The workers keep nothing big on their stacks; this covers the frames of
// the C library and of a sanitizer, and the static TLS that the C library
// carves out of every thread's stack.
constexpr std::size_t kWorkerStackBytes = 512 * 1024;

void* ReceiveWorkerEntry(void* pContext)
{
    SsdpReceiveThread(static_cast<SsdpReceiveContext*>(pContext));
    return nullptr;
}

void* TimerWorkerEntry(void* pMilliseconds)
{
    SearchTimerThread(static_cast<const unsigned int*>(pMilliseconds));
    return nullptr;
}

}  // namespace

CUpnpSearchWnd::CUpnpSearchWnd(const SearchParameters& params)
    : m_Socket(params.ssdp), m_Context(), m_nResultCount(0), m_Params(params)
{
}

CUpnpSearchWnd::~CUpnpSearchWnd()
{
    StopReceiveWorker();
}

int CUpnpSearchWnd::Search(DISCOVERY_RESULT* results)
{
    // A failed open is not fatal: the worker's first receive fails, or an
    // unbound socket may still hear replies, and the window runs regardless.
    (void)m_Socket.Open();
    m_Context.Clear();
    m_Context.pSocket = &m_Socket;
    m_Context.bRunning.store(true);
    StartReceiveWorker();
    m_Socket.SendSearch();
    WaitOutWindow();
    StopReceiveWorker();
    ProcessRecordedAddresses(results);
    m_Socket.Close();
    return m_nResultCount;
}

void CUpnpSearchWnd::StartReceiveWorker()
{
    // Without its buffers or without the worker nothing is recorded; the
    // search still completes.
    m_pReceiveBuffers.reset(new (std::nothrow) ReceiveBuffers);
    if (m_pReceiveBuffers) {
        m_Context.pBuffers = m_pReceiveBuffers.get();
        (void)m_ReceiveWorker.Start(ReceiveWorkerEntry, &m_Context, kWorkerStackBytes);
    }
}

void CUpnpSearchWnd::WaitOutWindow()
{
    // Lives until the timer worker has ended, which is waited for here.
    unsigned int windowMs = m_Params.windowMs;
    platform::CWorkerThread timer;
    const bool bTimerStarted = timer.Start(TimerWorkerEntry, &windowMs, kWorkerStackBytes);
    // libcurl loads and initialises while the window runs, which the caller
    // waits out anyway: the fetches after it find libcurl ready.
    (void)platform::PrepareFetches();
    if (bTimerStarted) {
        timer.Join();
    } else {
        // Closing the window at once would lose what the receive worker
        // hears: the caller's thread waits it out instead.
        SearchTimerThread(&windowMs);
    }
}

void CUpnpSearchWnd::StopReceiveWorker()
{
    m_Context.bRunning.store(false);
    m_Socket.WakeReceiver();
    m_ReceiveWorker.Join();
}

void CUpnpSearchWnd::ProcessRecordedAddresses(DISCOVERY_RESULT* results)
{
    for (const char* slot : m_Context.szAddressTable) {
        if (slot[0] != '\0') {
            ProcessAddress(slot, results);
        }
    }
}

std::uint32_t SearchTimerThread(const unsigned int* pMilliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(*pMilliseconds));
    return 0;
}

}  // namespace seekwell
