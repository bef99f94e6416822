// What the search does with a fetched description document, without HTTP:
// the UDN test, the six fields, a device row and the caller's record. One
// iteration is a fresh search object taking 16 documents, as one discovery
// with 16 responders does.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "allocation_counter.h"
#include "builtin/upnp_search_wnd.h"
#include "result_records.h"
#include "sample_texts.h"

namespace seekwell {
namespace {

constexpr const char kRobotUdn[] = "uuid:00000000-0000-1000-8000-R0VA00000011";
constexpr const char kOtherUdn[] = "uuid:4d696e69-444c-164e-9d41-b827eb3a7f21";
constexpr const char kFriendlyName[] = "ROVA robot in the living room";

const char* const kResponderAddresses[kMaxResults] = {
    "192.0.2.10", "192.0.2.11", "192.0.2.12", "192.0.2.13", "192.0.2.14", "192.0.2.15", "192.0.2.16", "192.0.2.17",
    "192.0.2.18", "192.0.2.19", "192.0.2.20", "192.0.2.21", "192.0.2.22", "192.0.2.23", "192.0.2.24", "192.0.2.25",
};

void BM_AcceptDescription(benchmark::State& state, const char* udn, std::size_t documentBytes)
{
    const std::string document = bench::DescriptionDocument(udn, kFriendlyName, documentBytes);
    const bool robot = std::strstr(udn, kSsdpReplyMarker) != nullptr;
    const int expectedRecords = robot ? kMaxResults : 0;
    int lastCount = expectedRecords;
    const bench::AllocationProbe probe;
    for (auto _ : state) {
        CUpnpSearchWnd search;
        DISCOVERY_RESULT records[kMaxResults] = {};
        for (const char* address : kResponderAddresses) {
            search.AcceptDescription(address, document, records);
        }
        lastCount = search.ResultCount();
        test::ReleaseRecords(records, lastCount);
    }
    const std::int64_t documents = state.iterations() * kMaxResults;
    probe.Report(state, documents);
    state.SetItemsProcessed(documents);
    state.SetBytesProcessed(documents * static_cast<std::int64_t>(document.size()));
    state.counters["document_bytes"] = static_cast<double>(document.size());
    if (lastCount != expectedRecords) {
        state.SkipWithError("the documents were not accepted or dropped as expected");
    }
}

BENCHMARK_CAPTURE(BM_AcceptDescription, robot_2048B, kRobotUdn, bench::kTypicalDescriptionBytes);
BENCHMARK_CAPTURE(BM_AcceptDescription, robot_4069B, kRobotUdn, bench::kLargestReadDescriptionBytes);
BENCHMARK_CAPTURE(BM_AcceptDescription, other_2048B, kOtherUdn, bench::kTypicalDescriptionBytes);

}  // namespace
}  // namespace seekwell
