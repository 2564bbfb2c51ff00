// One PipeWire video stream from a screen-cast node: BGRx/BGRA frames in shared memory,
// with damage, crop and cursor metadata asked for. Frames go into a FrameExchange; a
// failed stream or a lost PipeWire connection ends the exchange. The stream runs on a
// loop thread of its own.
#pragma once

#include <memory>

#include "platform/wayland/connection.h"
#include "platform/wayland/frame_exchange.h"

namespace vistrel::wayland {

class PipeWireStream {
public:
    // Connects over `fd` (taken, also on failure) to `node` and waits, at most a few
    // seconds and never past a signal, for the format; null with `failure` filled.
    // `frames` must outlive the stream.
    static std::unique_ptr<PipeWireStream> open(int fd, std::uint32_t node, FrameExchange& frames, WlFailure& failure);
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;
    ~PipeWireStream();

    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    // Leaves everything as it is: for a forked child, whose copy has no loop thread.
    void abandon();

private:
    struct Loop;
    explicit PipeWireStream(FrameExchange& frames);

    FrameExchange& frames_;
    std::unique_ptr<Loop> loop_;
    std::uint32_t width_ = 0, height_ = 0;
};

}  // namespace vistrel::wayland
