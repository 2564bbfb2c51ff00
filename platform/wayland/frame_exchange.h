// The handover of frames from a duplication's reader thread to the acquiring thread: the
// reader copies the rows a frame changed into the newest image; an acquisition copies the
// rows changed since the last one into the image the textures share (which so changes
// only during an acquisition, as the core expects). Changes that come while the caller
// is busy coalesce, as DXGI coalesces them. A stream that describes the pointer apart
// from its frames hands it over here too. The reader may also end the exchange with a
// failure, which every later acquisition returns.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/dxgi.h"
#include "platform/posix/surface.h"
#include "platform/wayland/cursor_meta.h"

namespace vistrel::wayland {

// Rows [top, bottom) that changed; empty when top == bottom.
struct Band {
    std::uint32_t top = 0, bottom = 0;
    bool empty() const { return top >= bottom; }
    void add(Band other) {
        if (other.empty()) return;
        *this = empty() ? other : Band{std::min(top, other.top), std::max(bottom, other.bottom)};
    }
};

class FrameExchange {
public:
    // False when the two images cannot be allocated.
    bool allocate(std::uint32_t width, std::uint32_t height);
    bool allocated() const { return static_cast<bool>(image_); }

    // The reader's: rows `band` of a frame whose row y starts at row(y), every row a
    // whole image row wide.
    void publish(Band band, const std::function<const std::uint8_t*(std::uint32_t)>& row);
    // The reader's: the pointer as the stream now describes it, `reshaped` when its image changed.
    void publish_pointer(const StreamPointer& pointer, bool reshaped);
    // The reader's last word: every acquisition from now on fails with it. The first end wins.
    void end(HRESULT code, std::string text);
    bool ended() { return end_code(nullptr) != S_OK; }
    // S_OK while not ended; else the end's code, with its text in `text` when asked.
    HRESULT end_code(std::string* text);

    // Waits up to `timeout_ms` for a frame not yet acquired (or the end), taking nothing.
    bool wait_for_frame(std::uint32_t timeout_ms);
    // What an acquisition brought.
    struct News {
        bool image = false, pointer = false, reshaped = false;
    };
    // The acquiring thread's: waits up to `timeout_ms` for a frame, then brings `image()`
    // up to date; DXGI_ERROR_WAIT_TIMEOUT when none came, the end's failure once ended.
    // With `pointer`, the newest pointer update is copied there (its image only when
    // reshaped); with `pointer_wakes` too, an update alone ends the wait.
    HRESULT acquire(std::uint32_t timeout_ms, StreamPointer* pointer = nullptr, bool pointer_wakes = false,
                    News* news = nullptr);
    const posix::SurfacePtr& image() const { return image_; }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    posix::SurfacePtr newest_;  // the newest whole image, under mutex_
    Band unread_;               // rows of newest_ changed since the last acquisition
    bool fresh_ = false;        // a frame arrived since the last acquisition
    bool published_ = false;    // a first frame arrived
    StreamPointer pointer_;     // under mutex_, as are the two below
    bool pointer_fresh_ = false, reshaped_ = false;
    HRESULT end_code_ = S_OK;
    std::string end_text_;
    posix::SurfacePtr image_;  // the acquiring thread's
};

}  // namespace vistrel::wayland
