#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::uint64_t> g_allocations{0};

void* CountedAllocation(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void* CountedAlignedAllocation(std::size_t size, std::align_val_t alignment)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    const auto align = static_cast<std::size_t>(alignment);
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t rounded = (size + align - 1) / align * align;
    if (void* memory = std::aligned_alloc(align, rounded == 0 ? align : rounded)) {
        return memory;
    }
    throw std::bad_alloc();
}

}  // namespace

// Every other form of new (arrays, nothrow) ends in one of these two, and
// every form of delete in free, as libstdc++ does by default.
void* operator new(std::size_t size) { return CountedAllocation(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return CountedAlignedAllocation(size, alignment); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }

namespace bench {

std::uint64_t AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }

void AllocationProbe::Report(benchmark::State& state, std::int64_t items) const
{
    const double calls = static_cast<double>(AllocationCount() - start_);
    state.counters["allocs_per_item"] = items > 0 ? calls / static_cast<double>(items) : calls;
}

}  // namespace bench
