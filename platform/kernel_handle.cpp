#include "platform/os.h"

namespace vistrel::os {

KernelHandle& KernelHandle::operator=(KernelHandle&& other) noexcept {
    if (this != &other) {
        reset();
        handle_ = other.release();
    }
    return *this;
}

void KernelHandle::reset() {
    if (HANDLE h = release()) close_handle(h);
}

}  // namespace vistrel::os
