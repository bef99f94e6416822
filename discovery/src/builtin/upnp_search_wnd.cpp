// The object of one built-in search: the socket and the receive worker, the
// response window, then the description fetch and the device rows.
#include "builtin/upnp_search_wnd.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include "fetch/description_fetch.h"
#include "robot_rules.h"

namespace seekwell {

namespace {

// The workers keep nothing big on their stacks; this covers the frames of
// the C library and of a sanitizer, and the static TLS that the C library
// carves out of every thread's stack.
constexpr std::size_t kWorkerStackBytes = 512 * 1024;

void* ReceiveWorkerEntry(void* context)
{
    SsdpReceiveThread(static_cast<SsdpReceiveContext*>(context));
    return nullptr;
}

void* TimerWorkerEntry(void* windowMs)
{
    SearchTimerThread(static_cast<const unsigned int*>(windowMs));
    return nullptr;
}

void FillRow(CDeviceEntry& row, const char* address, RobotDescription&& fields)
{
    std::snprintf(row.m_szAddress, sizeof row.m_szAddress, "%s", address);
    row.m_strManufacturer = std::move(fields.manufacturer);
    row.m_strModelName = std::move(fields.modelName);
    row.m_strModelDescription = std::move(fields.modelDescription);
    row.m_strUDN = std::move(fields.udn);
    row.m_strPresentationURL = std::move(fields.presentationUrl);
    row.m_strFriendlyName = std::move(fields.friendlyName);
}

// The address is copied first, then the name; a copy that cannot be made is
// stored as nullptr and the record still counts.
void WriteRecord(DISCOVERY_RESULT& record, const char* address, const char* name)
{
    record.pszAddress = strdup(address);
    record.pszName = strdup(name);
}

}  // namespace

CUpnpSearchWnd::CUpnpSearchWnd(const SearchParameters& params)
    : m_Socket(params.ssdp), m_Context(), m_nResultCount(0), m_Params(params)
{
}

CUpnpSearchWnd::~CUpnpSearchWnd() { StopReceiveWorker(); }

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
    platform::WorkerThread timer;
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

std::uint32_t SearchTimerThread(const unsigned int* windowMs)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(*windowMs));
    return 0;
}

void CUpnpSearchWnd::ProcessAddress(const char* pszAddress, DISCOVERY_RESULT* results)
{
    try {
        AcceptDescription(pszAddress, FetchDescription(DescriptionUrl(pszAddress)), results);
    } catch (const std::bad_alloc&) {
        // Out of memory drops this device like any other failure of the fetch.
    }
}

void CUpnpSearchWnd::AcceptDescription(const char* pszAddress, const std::string& document, DISCOVERY_RESULT* results)
{
    if (!HasRobotUdn(document)) {
        return;
    }
    RobotDescription fields = ReadRobotDescription(pszAddress, document);
    CDeviceEntry* row = FirstFreeRow();
    if (row == nullptr) {
        return;
    }
    FillRow(*row, pszAddress, std::move(fields));
    if (IsReportableAddress(pszAddress)) {
        WriteRecord(results[m_nResultCount], pszAddress, row->m_strFriendlyName.c_str());
        ++m_nResultCount;
    }
}

std::string CUpnpSearchWnd::ExtractTag(const std::string& openTag, const std::string& closeTag,
                                       const std::string& document)
{
    return seekwell::ExtractTag(openTag, closeTag, document);
}

CDeviceEntry* CUpnpSearchWnd::FirstFreeRow()
{
    for (CDeviceEntry& row : m_Devices) {
        if (row.IsFree()) {
            return &row;
        }
    }
    return nullptr;
}

std::string CUpnpSearchWnd::FetchDescription(const std::string& url) const
{
    return DocumentInBody(platform::FetchBodyStart(url, m_Params.http));
}

}  // namespace seekwell
