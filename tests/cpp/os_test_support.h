// What the os tests need from the system beneath the os layer: a kernel handle to
// duplicate, and COM error information left on the thread as a failed call leaves it.
#pragma once

#include <string>

#include "platform/os.h"

namespace vistrel::test {

// A new kernel handle that duplicate_handle accepts: an event's on Windows, a shared
// texture's on the simulated machine.
os::KernelHandle open_test_handle();
// Whether `handle` still names an open object.
bool handle_is_open(HANDLE handle);
// Leaves error information whose description is `description` on the calling thread.
void set_thread_error_description(const std::u16string& description);

}  // namespace vistrel::test
