#include "upnp_search_wnd.h"

#include <chrono>
#include <system_error>

namespace seekwell {

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
    try {
        m_ReceiveWorker = std::thread(SsdpReceiveThread, &m_Context);
    } catch (const std::system_error&) {
        // Without the worker nothing is recorded; the search still completes.
    }
}

void CUpnpSearchWnd::WaitOutWindow()
{
    // Lives until the timer worker has ended, which is waited for here.
    const unsigned int windowMs = m_Params.windowMs;
    try {
        std::thread timer(SearchTimerThread, &windowMs);
        timer.join();
    } catch (const std::system_error&) {
        // Without the timer worker the window closes at once.
    }
}

void CUpnpSearchWnd::StopReceiveWorker()
{
    m_Context.bRunning.store(false);
    m_Socket.WakeReceiver();
    if (m_ReceiveWorker.joinable()) {
        m_ReceiveWorker.join();
    }
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
