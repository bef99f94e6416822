#include "failing_new.h"

#include <cstdlib>
#include <new>

namespace seekwell::test {

namespace {

bool g_bArmed = false;
long g_nFailingAllocation = -1;
long g_nAllocations = 0;

}  // namespace

void ArmAllocationFailure(long failingAllocation)
{
    g_nFailingAllocation = failingAllocation;
    g_nAllocations = 0;
    g_bArmed = true;
}

long DisarmAllocationFailure()
{
    g_bArmed = false;
    return g_nAllocations;
}

}  // namespace seekwell::test

// The array and nothrow forms of the standard library call these.
void* operator new(std::size_t size)
{
    using namespace seekwell::test;
    if (g_bArmed && g_nAllocations++ == g_nFailingAllocation) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }

void operator delete(void* p, std::size_t) noexcept { std::free(p); }
