// Replaces the global operator new and delete of the test program, so a test
// can make an allocation fail on purpose or count the allocations a thread
// makes. The driver library's allocations come through here too.
#pragma once

namespace testsupport {

// Makes the n-th nothrow allocation from now (1 = the next) on any thread
// return null; 0 switches it off.
void FailNthNothrowAllocation(int n);
// Nothrow allocations made since the process started.
long NothrowAllocations();

// Counts the allocations of the calling thread while switched on.
void CountThisThreadsAllocations(bool on);
long ThisThreadsAllocations();

}  // namespace testsupport
