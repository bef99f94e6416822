// This test binary's operator new, which can be told to throw std::bad_alloc
// at a chosen allocation.
#ifndef SEEKWELL_TESTS_FAILING_NEW_H
#define SEEKWELL_TESTS_FAILING_NEW_H

namespace seekwell::test {

// From now on, allocations are counted; the one numbered failingAllocation
// (from 0) throws. A negative number only counts.
void ArmAllocationFailure(long failingAllocation);
// Stops counting and failing; returns the allocations counted since arming.
long DisarmAllocationFailure();

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_FAILING_NEW_H
