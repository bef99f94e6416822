// Tells a process from the processes it was forked from, whatever their
// process IDs: a host may fork into a new PID namespace, where the child can
// have the ID its parent had in the parent's namespace.
#ifndef SEEKWELL_PLATFORM_FORK_DETECT_H
#define SEEKWELL_PLATFORM_FORK_DETECT_H

#include <cstdint>

namespace seekwell::platform {

// A number of this process's own: never equal to that of a process it
// descends from by fork. Kept in a page the kernel empties in a forked child;
// where the kernel refuses to mark one, ForkHandlerToken's.
std::uint64_t ProcessToken();

// The same kept by a fork handler and checked against the process ID: a child
// made by fork() runs the handler, one made by a bare clone has another ID,
// unless a PID namespace gives it its parent's.
std::uint64_t ForkHandlerToken();

}  // namespace seekwell::platform

#endif  // SEEKWELL_PLATFORM_FORK_DETECT_H
