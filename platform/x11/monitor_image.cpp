#include "platform/x11/monitor_image.h"

#include <algorithm>
#include <cstring>

#include "platform/x11/shm_check.h"

namespace vistrel::x11 {

std::unique_ptr<MonitorImage> MonitorImage::create(std::shared_ptr<Connection> connection, xcb_window_t root,
                                                   const MonitorInfo& monitor, XFailure& failure) {
    std::unique_ptr<MonitorImage> image(new MonitorImage(connection, root, monitor));
    if (auto segment = writable_segment(connection, root, static_cast<std::int16_t>(monitor.x),
                                        static_cast<std::int16_t>(monitor.y), monitor.width, monitor.height)) {
        image->segment_ = segment->segment();
        image->surface_ = std::move(segment);
    }
    if (!image->surface_) image->surface_ = blank_surface(monitor.width, monitor.height);
    if (!image->surface_) {
        failure = {E_OUTOFMEMORY, "no memory for a " + std::to_string(monitor.width) + "x" +
                                      std::to_string(monitor.height) + " image"};
        return nullptr;
    }
    image->mark_all_changed();
    return image;
}

const char* MonitorImage::pixel_path() const { return segment_ != XCB_NONE ? kShmPath : kGetImagePath; }

void MonitorImage::add_changed_rows(std::uint32_t top, std::uint32_t bottom) {
    // Bands that touch or overlap merge; past a handful, one band from first to last row
    // costs less than many requests.
    for (auto it = bands_.begin(); it != bands_.end();) {
        if (it->first <= bottom && top <= it->second) {
            top = std::min(top, it->first);
            bottom = std::max(bottom, it->second);
            it = bands_.erase(it);
        } else {
            ++it;
        }
    }
    bands_.emplace_back(top, bottom);
    if (bands_.size() > 8) {
        for (const auto& band : bands_) {
            top = std::min(top, band.first);
            bottom = std::max(bottom, band.second);
        }
        bands_.assign(1, {top, bottom});
    }
}

bool MonitorImage::read_changed_rows() {
    const XcbApi& x = connection_->api();
    xcb_connection_t* c = connection_->get();
    const std::uint32_t pitch = surface_->pitch();
    // Whole rows, so each band lands at its place in the image; all requests go out
    // before the first reply is awaited.
    std::vector<std::uint32_t> sequence;
    for (const auto& [top, bottom] : bands_) {
        const auto left = static_cast<std::int16_t>(monitor_.x);
        const auto y = static_cast<std::int16_t>(monitor_.y + static_cast<std::int32_t>(top));
        const auto width = static_cast<std::uint16_t>(monitor_.width);
        const auto rows = static_cast<std::uint16_t>(bottom - top);
        sequence.push_back(
            segment_ != XCB_NONE
                ? x.xcb_shm_get_image(c, root_, left, y, width, rows, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_,
                                      top * pitch)
                      .sequence
                : x.xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, left, y, width, rows, ~0u).sequence);
    }
    bool ok = true;
    for (std::size_t i = 0; i < bands_.size(); ++i) {
        const auto [top, bottom] = bands_[i];
        if (segment_ != XCB_NONE) {
            Reply<xcb_shm_get_image_reply_t> reply(
                x.xcb_shm_get_image_reply(c, xcb_shm_get_image_cookie_t{sequence[i]}, nullptr));
            ok = ok && reply;
            if (ok) surface_->make_rows_opaque(top, bottom);
            continue;
        }
        Reply<xcb_get_image_reply_t> reply(x.xcb_get_image_reply(c, xcb_get_image_cookie_t{sequence[i]}, nullptr));
        const std::size_t bytes = std::size_t{bottom - top} * pitch;
        if (!reply || x.xcb_get_image_data_length(reply.get()) < static_cast<int>(bytes)) {
            ok = false;
        } else if (top == 0 && bottom == monitor_.height) {
            // The textures holding the old image keep it; the next frame shows this one.
            surface_ = reply_surface(std::move(reply), x, monitor_.width, monitor_.height);
        } else {
            surface_->copy_rows_opaque(top, bottom, x.xcb_get_image_data(reply.get()));
        }
    }
    bands_.clear();
    return ok;
}

}  // namespace vistrel::x11
