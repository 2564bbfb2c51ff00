// A backstop for the waits libxcb makes on its own: once the start of a packet has arrived
// it reads the rest, and it writes out a full buffer, without limit and through signals.
// A server stopped half-way through a reply, or a network that drops mid-packet, would
// hold the caller there. A watch shuts the socket down once its deadline is well past:
// libxcb's wait then ends and the connection reads as lost.
#pragma once

#include <chrono>
#include <cstdint>

namespace vistrel::x11 {

// Past its deadline a stalled packet gets this long before the socket is shut down.
inline constexpr std::chrono::milliseconds kStallGrace{1000};

// Watches socket `fd` for its scope; shuts it down at `deadline` + kStallGrace.
class StallWatch {
public:
    StallWatch(int fd, std::chrono::steady_clock::time_point deadline);
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;
    ~StallWatch();

private:
    std::uint64_t id_;
};

}  // namespace vistrel::x11
