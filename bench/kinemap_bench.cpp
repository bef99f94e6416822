// Each CKinemap query against a plain copy of the same bytes, timed in
// alternating batches within one iteration so that both sides see the same
// machine state. The library call crosses the shared-library boundary; the
// copies are made here, once through libc's memcpy with a length the compiler
// cannot see, once with a fixed length that the compiler inlines.
#include <benchmark/benchmark.h>
#include <kinemap/kinemap.h>

#include <chrono>
#include <cstddef>
#include <cstring>

#include "allocation_counter.h"
#include "timing.h"

namespace {

using seekwell::test::Clock;

// Long enough that reading the clock twice costs well under 1% of a batch.
constexpr int kCallsPerBatch = 4096;

constexpr unsigned int kKeyedDesign = 1;
constexpr int kLongestLocatorIndex = 8;  // 32 characters and the NUL
constexpr int kDesignKeyUnits = 3;

constexpr std::size_t kJointArrayBytes = 19 * sizeof(int);
constexpr std::size_t kSensorIdBytes = 33 * sizeof(int);
constexpr std::size_t kSensorArrayBytes = KINEMAP_PRIMITIVE_COUNT * sizeof(int);
constexpr std::size_t kLongestLocatorBytes = 33;
constexpr std::size_t kDesignKeyBytes = kDesignKeyUnits * sizeof(unsigned short);

alignas(64) unsigned char g_source[KINEMAP_LOCATOR_SIZE * 2];
alignas(64) unsigned char g_destination[KINEMAP_LOCATOR_SIZE * 2];

template <typename Call>
double BatchNanoseconds(Call call)
{
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kCallsPerBatch; ++i) {
        call();
        benchmark::ClobberMemory();
    }
    return seekwell::test::Elapsed<std::nano>(start);
}

// The benchmark's own time is the query batch; the counters give every side
// per call and the ratios.
template <std::size_t Bytes, typename Query>
void SideBySide(benchmark::State& state, Query query)
{
    std::size_t opaqueBytes = Bytes;
    benchmark::DoNotOptimize(opaqueBytes);
    double queryNs = 0;
    double memcpyNs = 0;
    double inlineCopyNs = 0;
    const bench::AllocationProbe probe;
    for (auto _ : state) {
        const double batchNs = BatchNanoseconds([&] { benchmark::DoNotOptimize(query()); });
        memcpyNs += BatchNanoseconds([&] { std::memcpy(g_destination, g_source, opaqueBytes); });
        inlineCopyNs += BatchNanoseconds([&] { std::memcpy(g_destination, g_source, Bytes); });
        queryNs += batchNs;
        state.SetIterationTime(batchNs * 1e-9);
    }
    const double calls = static_cast<double>(state.iterations()) * kCallsPerBatch;
    probe.Report(state, state.iterations() * kCallsPerBatch);
    state.counters["bytes"] = Bytes;
    state.counters["query_ns"] = queryNs / calls;
    state.counters["memcpy_ns"] = memcpyNs / calls;
    state.counters["inline_copy_ns"] = inlineCopyNs / calls;
    state.counters["x_memcpy"] = queryNs / memcpyNs;
    state.counters["x_inline_copy"] = queryNs / inlineCopyNs;
}

int* DestinationInts() { return reinterpret_cast<int*>(g_destination); }
char* DestinationChars() { return reinterpret_cast<char*>(g_destination); }

void BM_GetJointArray(benchmark::State& state)
{
    CKinemap body(kKeyedDesign);
    SideBySide<kJointArrayBytes>(state, [&] { return body.GetJointArray(DestinationInts()); });
}

void BM_GetSensorArray(benchmark::State& state)
{
    CKinemap body(kKeyedDesign);
    SideBySide<kSensorArrayBytes>(state, [&] { return body.GetSensorArray(DestinationInts()); });
}

void BM_GetSensorIDs(benchmark::State& state)
{
    CKinemap body(kKeyedDesign);
    SideBySide<kSensorIdBytes>(state, [&] { return body.GetSensorIDs(DestinationInts()); });
}

void BM_GetPrimitiveLocator(benchmark::State& state)
{
    CKinemap body(kKeyedDesign);
    SideBySide<kLongestLocatorBytes>(
        state, [&] { return body.GetPrimitiveLocator(kLongestLocatorIndex, DestinationChars()); });
}

// Compares the key rather than copying it: the copy of its 6 bytes is the
// nearest plain operation.
void BM_GetRobotDesign(benchmark::State& state)
{
    unsigned short key[kDesignKeyUnits] = {11, 1, 1};
    SideBySide<kDesignKeyBytes>(state, [&] { return CKinemap::GetRobotDesign(key, kDesignKeyUnits); });
}

BENCHMARK(BM_GetJointArray)->UseManualTime();
BENCHMARK(BM_GetSensorArray)->UseManualTime();
BENCHMARK(BM_GetSensorIDs)->UseManualTime();
BENCHMARK(BM_GetPrimitiveLocator)->UseManualTime();
BENCHMARK(BM_GetRobotDesign)->UseManualTime();

}  // namespace
