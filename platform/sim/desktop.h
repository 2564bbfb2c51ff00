// The simulated desktop: the runtime state of each output (its current image, the
// pointer, the live duplications that see its updates) and the presenter threads that
// animate it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/posix/surface.h"
#include "platform/sim/machine.h"

namespace vistrel::sim {

using posix::Surface;
using posix::SurfacePtr;

// Zero-filled BGRA rows padded to a multiple of 256 bytes, as a staging texture's RowPitch
// is on Windows, so readers meet rows longer than their pixels. Throws std::bad_alloc when
// memory is short.
SurfacePtr zero_surface(std::uint32_t width, std::uint32_t height);
// From packed BGRA rows of width x height pixels.
SurfacePtr surface_from_packed(std::uint32_t width, std::uint32_t height, const std::uint8_t* packed);
SurfacePtr copy_of(const Surface& surface);
std::vector<std::uint8_t> packed(const Surface& surface);

// What one duplication has not yet delivered; presents coalesce into it.
struct PendingUpdate {
    bool image = false;
    bool blank = false;  // a first frame whose surface is still blank
    std::int64_t present_time = 0;
    bool position = false;
    std::int64_t mouse_time = 0;
    bool shape = false;
    std::uint32_t accumulated = 0;
};

struct DuplicationState {
    std::uint32_t mode_width = 0;
    std::uint32_t mode_height = 0;
    bool lost = false;
    bool held = false;
    PendingUpdate pending;
};

class OutputState {
public:
    OutputState(const OutputConfig& config);
    ~OutputState();

    // Everything below is guarded by `mutex`; `changed` wakes waiting acquisitions.
    std::mutex mutex;
    std::condition_variable changed;
    OutputConfig config;
    std::uint32_t mode_width;
    std::uint32_t mode_height;
    SurfacePtr image;
    std::int32_t pointer_x = 0;
    std::int32_t pointer_y = 0;
    bool pointer_visible = true;
    std::shared_ptr<const PointerShape> shape;
    std::vector<DuplicationState*> duplications;  // at most one: one per output and process
    bool secure = false;                          // the secure desktop shows

    // A new duplication starts with one pending update: image, position and shape.
    // Refused as Windows refuses it: E_INVALIDARG while another duplication of the output
    // is alive, E_ACCESSDENIED while the secure desktop shows.
    HRESULT add_duplication(DuplicationState* state);
    // What add_duplication would answer now, without adding one.
    HRESULT admission();
    void remove_duplication(DuplicationState* state);
    std::int64_t present(SurfacePtr new_image, const PointerUpdate* pointer);
    void lose_access(std::optional<std::pair<std::uint32_t, std::uint32_t>> mode);
    void set_secure_desktop(bool on);
    void animate(double hz);

private:
    void stop_animation();
    void animation_loop(double hz);

    std::thread animator_;
    std::mutex animator_mutex_;
    std::condition_variable animator_wake_;
    bool animator_stop_ = false;
};

// The test pattern an output shows until something is presented.
SurfacePtr pattern_surface(std::uint32_t width, std::uint32_t height);

// A present time, increasing like QueryPerformanceCounter in 100 ns units.
std::int64_t next_present_time();

}  // namespace vistrel::sim
