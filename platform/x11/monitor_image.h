// The pixels of one monitor, kept current over a duplication's connection by reading
// only the rows that changed: XShmGetImage into a segment both sides map, or GetImage
// replies copied in where shared memory cannot be had.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/x11/layout.h"
#include "platform/x11/surface.h"

namespace vistrel::x11 {

class MonitorImage {
public:
    // The image of `monitor` on the screen of `root`, all rows marked changed; null with
    // `failure` filled when memory is short.
    static std::unique_ptr<MonitorImage> create(std::shared_ptr<Connection> connection, xcb_window_t root,
                                                const MonitorInfo& monitor, XFailure& failure);

    // Notes rows [top, bottom) of the monitor as changed.
    void add_changed_rows(std::uint32_t top, std::uint32_t bottom);
    void mark_all_changed() { bands_.assign(1, {0, monitor_.height}); }
    // Reads the changed rows into the image (the caller has checked that the monitor
    // lies on the screen). False when the server refused; the changes are dropped either way.
    bool read_changed_rows();
    // Updated in place: the textures that share it are read only by the thread acquiring,
    // after a successful acquisition, when they show this frame anyway.
    const SurfacePtr& surface() const { return surface_; }
    // How the rows are read: kShmPath or kGetImagePath.
    const char* pixel_path() const;

private:
    MonitorImage(std::shared_ptr<Connection> connection, xcb_window_t root, const MonitorInfo& monitor)
        : connection_(std::move(connection)), root_(root), monitor_(monitor) {}

    std::shared_ptr<Connection> connection_;
    xcb_window_t root_;
    MonitorInfo monitor_;
    SurfacePtr surface_;
    xcb_shm_seg_t segment_ = XCB_NONE;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> bands_;  // changed rows, disjoint
};

}  // namespace vistrel::x11
