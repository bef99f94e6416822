#include "upnp_search_wnd.h"

#include <chrono>
#include <thread>

namespace seekwell {

namespace {

// Room for the frames of the C library and of a sanitizer beyond what a
// worker keeps on its stack.
constexpr std::size_t kWorkerStackHeadroom = 256 * 1024;
// The receive worker keeps its receive buffer and its working copy on its
// own stack, so that it allocates nothing.
constexpr std::size_t kReceiveWorkerStackBytes =
    kReceiveBufferSize + sizeof(ReplyScratch) + kWorkerStackHeadroom;
constexpr std::size_t kTimerWorkerStackBytes = kWorkerStackHeadroom;

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
    // Without the worker nothing is recorded; the search still completes.
    (void)m_ReceiveWorker.Start(ReceiveWorkerEntry, &m_Context, kReceiveWorkerStackBytes);
}

void CUpnpSearchWnd::WaitOutWindow()
{
    // Lives until the timer worker has ended, which is waited for here.
    unsigned int windowMs = m_Params.windowMs;
    platform::CWorkerThread timer;
    // Without the timer worker the window closes at once.
    if (timer.Start(TimerWorkerEntry, &windowMs, kTimerWorkerStackBytes)) {
        timer.Join();
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
