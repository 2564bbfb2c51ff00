// The kernel-handle services of a provider that has no handles to share (no adapters,
// or X): duplication fails as for an invalid handle and closing does nothing.
#include "platform/posix/kernel_handles.h"

namespace vistrel::provider {

void* duplicate_handle(void*, unsigned& error) {
    error = 6;  // ERROR_INVALID_HANDLE
    return nullptr;
}

void close_handle(void*) {}

}  // namespace vistrel::provider
