// Which side of a fork() this process is on, without a system call: connections and the
// stall watchdog check it on every request, where getpid() would cost the idle capture
// thread a system call each time.
#pragma once

#include <cstdint>

namespace vistrel::x11 {

// How many fork()s lie between the process that started the module and this one: a value
// read before a fork differs in the child, never in the parent.
std::uint64_t fork_generation();

}  // namespace vistrel::x11
