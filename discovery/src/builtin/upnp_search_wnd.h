// One built-in search: SSDP M-SEARCH, a response window, then a description
// fetch for each responder.
#ifndef SEEKWELL_BUILTIN_UPNP_SEARCH_WND_H
#define SEEKWELL_BUILTIN_UPNP_SEARCH_WND_H

#include <seekwell/seekwell.h>

#include <cstdint>
#include <memory>
#include <string>

#include "builtin/device_entry.h"
#include "builtin/search_parameters.h"
#include "builtin/ssdp_receive.h"
#include "builtin/ssdp_socket.h"
#include "platform/worker_thread.h"

namespace seekwell {

class CUpnpSearchWnd {
public:
    explicit CUpnpSearchWnd(const SearchParameters& params = SearchParameters{});
    // Makes sure both workers have ended, whatever path led here.
    virtual ~CUpnpSearchWnd();
    CUpnpSearchWnd(const CUpnpSearchWnd&) = delete;
    CUpnpSearchWnd& operator=(const CUpnpSearchWnd&) = delete;

    // Runs the whole search once; returns the number of records written (0..16).
    int Search(DISCOVERY_RESULT* results);

    // Fetches the description of one responder and, when it is a robot, takes
    // a device row and writes the next record.
    void ProcessAddress(const char* pszAddress, DISCOVERY_RESULT* results);
    // The decision and the writing for an already fetched document.
    void AcceptDescription(const char* pszAddress, const std::string& document, DISCOVERY_RESULT* results);
    // The document at url, up to its first NUL; empty when the fetch fails.
    std::string FetchDescription(const std::string& url) const;
    static std::string ExtractTag(const std::string& openTag, const std::string& closeTag, const std::string& document);

    int ResultCount() const { return m_nResultCount; }
    const CDeviceEntry& Device(int row) const { return m_Devices[row]; }

private:
    void StartReceiveWorker();
    void WaitOutWindow();
    void StopReceiveWorker();
    void ProcessRecordedAddresses(DISCOVERY_RESULT* results);
    CDeviceEntry* FirstFreeRow();

    CSsdpSocket m_Socket;
    SsdpReceiveContext m_Context;
    int m_nResultCount;
    CDeviceEntry m_Devices[kMaxResults];
    SearchParameters m_Params;
    std::unique_ptr<ReceiveBuffers> m_pReceiveBuffers;
    platform::WorkerThread m_ReceiveWorker;
};

// The timer worker: sleeps *windowMs. Exit code 0. A thread of its own
// that only sleeps, so the caller's thread stays free to load libcurl meanwhile.
std::uint32_t SearchTimerThread(const unsigned int* windowMs);

}  // namespace seekwell

#endif  // SEEKWELL_BUILTIN_UPNP_SEARCH_WND_H
