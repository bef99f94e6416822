// A stand-in for UPnP devices on a private test network: answers every
// M-SEARCH for each device and serves their descriptions over HTTP on port
// 80, device k at "/k.xml" and the first device at any other path (so a
// client that asks for its own fixed file name gets that one).
#ifndef SEEKWELL_TESTS_FAKE_UPNP_RESPONDER_H
#define SEEKWELL_TESTS_FAKE_UPNP_RESPONDER_H

#include <string>
#include <thread>
#include <vector>

namespace seekwell::test {

struct ResponderDevice {
    std::string strUdn;  // without the "uuid:" prefix
    std::string strFriendlyName;
    std::string strModelDescription;
    std::string strPresentationUrl;
    bool bServesDescription = true;  // false: the description request gets 404
};

class FakeUpnpResponder {
public:
    // Joins the SSDP group on the interface holding interfaceAddress and
    // serves HTTP on port 80 of that address.
    FakeUpnpResponder(std::string interfaceAddress, std::vector<ResponderDevice> devices);
    ~FakeUpnpResponder();
    FakeUpnpResponder(const FakeUpnpResponder&) = delete;
    FakeUpnpResponder& operator=(const FakeUpnpResponder&) = delete;

    // Empty on success, else what failed.
    std::string Start();

private:
    void Serve();
    void AnswerSearch();
    void ServeDescription();
    std::string SearchResponse(std::size_t index) const;
    std::string DescriptionResponse(const std::string& request) const;

    std::string m_strAddress;
    std::vector<ResponderDevice> m_devices;
    int m_ssdpSocket = -1;
    int m_httpSocket = -1;
    int m_stopPipe[2] = {-1, -1};
    std::thread m_thread;
};

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_FAKE_UPNP_RESPONDER_H
