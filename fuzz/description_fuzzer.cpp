// One description document through the acceptance rules of a responder's
// address: UDN test, tags, UDN cut, presentation URL rebuild, dot rule, the
// device row and the record. Some rows may already be taken.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "builtin/upnp_search_wnd.h"
#include "result_records.h"

namespace {

using seekwell::CUpnpSearchWnd;

constexpr int kRows = seekwell::kMaxResults;
// An address slot holds a rendered dotted quad: at most 15 characters.
constexpr std::size_t kMaxAddressLength = 15;
constexpr char kTakenRowDocument[] = "<UDN>uuid:R0VA-taken</UDN><friendlyName>taken</friendlyName>";

void Require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// What a fetch hands over: at most the read size, up to the first NUL.
std::string AsFetchedDocument(const std::uint8_t* bytes, std::size_t size)
{
    const std::size_t read = std::min(size, seekwell::kDescriptionMaxBytes);
    const char* text = reinterpret_cast<const char*>(bytes);
    const void* nul = std::memchr(text, '\0', read);
    return std::string(text, nul ? static_cast<const char*>(nul) - text : read);
}

void TakeRows(CUpnpSearchWnd& search, int count, DISCOVERY_RESULT* results)
{
    for (int i = 0; i < count; ++i) {
        const std::string address = "10.0.0." + std::to_string(i);
        search.AcceptDescription(address.c_str(), kTakenRowDocument, results);
    }
}

int RowsInUse(const CUpnpSearchWnd& search)
{
    int used = 0;
    while (used < kRows && !search.Device(used).IsFree()) {
        ++used;
    }
    return used;
}

void CheckNewRow(const seekwell::CDeviceEntry& row, const std::string& address, const std::string& document)
{
    Require(address == row.m_szAddress);
    Require(row.m_strUDN.size() <= seekwell::kUdnKeptChars);
    Require(row.m_strPresentationURL.rfind("http://" + address + "/", 0) == 0);
    Require(CUpnpSearchWnd::ExtractTag("<UDN>", "</UDN>", document).find("R0VA") != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    // Input: one byte of rows already taken, the address text up to the
    // first newline (at most 15 characters), then the response body.
    const int taken = data[0] % (kRows + 1);
    const char* rest = reinterpret_cast<const char*>(data + 1);
    const std::size_t restSize = size - 1;
    const void* newline = std::memchr(rest, '\n', restSize);
    const std::size_t lineLength = newline ? static_cast<const char*>(newline) - rest : restSize;
    std::string address(rest, std::min(lineLength, kMaxAddressLength));
    address.resize(std::strlen(address.c_str()));
    const std::size_t bodyStart = std::min(restSize, lineLength + 1);
    const std::string document = AsFetchedDocument(data + 1 + bodyStart, restSize - bodyStart);

    // Exactly the caller's 16 records, so that ASan sees a write past them.
    const auto results = std::make_unique<DISCOVERY_RESULT[]>(kRows);
    const auto search = std::make_unique<CUpnpSearchWnd>();
    TakeRows(*search, taken, results.get());
    const int countBefore = search->ResultCount();
    search->AcceptDescription(address.c_str(), document, results.get());

    const int rowsAfter = RowsInUse(*search);
    const int added = search->ResultCount() - countBefore;
    Require(rowsAfter == taken || rowsAfter == taken + 1);
    Require(search->ResultCount() <= rowsAfter);
    Require(added == 0 || added == 1);
    if (rowsAfter > taken) {
        const seekwell::CDeviceEntry& row = search->Device(taken);
        CheckNewRow(row, address, document);
        Require(added == (std::count(address.begin(), address.end(), '.') == 3 ? 1 : 0));
        if (added == 1) {
            const DISCOVERY_RESULT& record = results[countBefore];
            Require(address == record.pszAddress && row.m_strFriendlyName == record.pszName);
        }
    }
    seekwell::test::ReleaseRecords(results.get(), search->ResultCount());
    return 0;
}
