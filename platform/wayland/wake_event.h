// An eventfd that wakes a thread's poll: a reader's, or a caller's wait for a reader.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace vistrel::wayland {

class WakeEvent {
public:
    WakeEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;
    ~WakeEvent() {
        if (fd_ >= 0) close(fd_);
    }
    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void signal() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);  // a full counter wakes too
    }
    void drain() const {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = read(fd_, &count, sizeof count);
    }

private:
    int fd_;
};

}  // namespace vistrel::wayland
