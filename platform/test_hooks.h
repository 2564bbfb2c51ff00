// Where a test machine watches the platform layer: failure injection for os-level
// calls, a count of live objects and a trace of releases. Every provider gets the
// no-op versions in no_test_hooks.cpp; only the simulated machine defines its own.
#pragma once

namespace vistrel::test_hooks {

// Records a kernel32/user32-style call by its Windows name and tells whether it is to fail.
bool os_call_fails(const char* operation);

// Counts an object (COM object, BSTR, event, timer, thread) in or out of the live objects.
void live_object(int delta);

// Records the release of the last reference to an object of the named interface.
void released(const char* interface_name);

}  // namespace vistrel::test_hooks
