// What a non-Windows provider (the simulated machine, the none provider) supplies
// to os_posix.cpp besides the shim's entry points.
#pragma once

namespace vistrel::provider {

// Records a kernel32/user32-style call by its Windows name and tells whether it is
// to fail. Only the simulated machine ever answers true.
bool os_call_fails(const char* operation);

// Counts os objects (events, timers, threads) among the live objects, where the provider
// keeps such a count.
void live_object(int delta);

// Kernel handles of the provider's machine: a duplicate of `source` in this process (null
// with the Win32 error in `error` on failure), and closing one.
void* duplicate_handle(void* source, unsigned& error);
void close_handle(void* handle);

}  // namespace vistrel::provider
