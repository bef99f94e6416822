// Counts calls of the global operator new in a benchmark program, so that a
// benchmark can show how many allocations one iteration makes.
#ifndef ROVA_BENCH_ALLOCATION_COUNTER_H
#define ROVA_BENCH_ALLOCATION_COUNTER_H

#include <benchmark/benchmark.h>

#include <cstdint>

namespace bench {

// operator new calls in this program so far, on every thread.
std::uint64_t AllocationCount();

// Notes the count when made; Report adds the calls since then, per item, as
// the counter "allocs_per_item" (items: iterations unless given otherwise).
class AllocationProbe {
public:
    AllocationProbe() : start_(AllocationCount()) {}
    void Report(benchmark::State& state, std::int64_t items) const;
    void Report(benchmark::State& state) const { Report(state, state.iterations()); }

private:
    std::uint64_t start_;
};

}  // namespace bench

#endif  // ROVA_BENCH_ALLOCATION_COUNTER_H
