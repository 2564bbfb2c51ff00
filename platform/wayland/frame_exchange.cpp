#include "platform/wayland/frame_exchange.h"

#include <chrono>
#include <cstring>

#include "platform/posix/error_info.h"

namespace vistrel::wayland {

bool FrameExchange::allocate(std::uint32_t width, std::uint32_t height) {
    std::lock_guard lock(mutex_);
    newest_ = posix::blank_surface(width, height);
    image_ = posix::blank_surface(width, height);
    return newest_ && image_;
}

void FrameExchange::publish(Band band, const std::function<const std::uint8_t*(std::uint32_t)>& row) {
    {
        std::lock_guard lock(mutex_);
        // Rows that repeat count for nothing: a stream without damage sends every row,
        // and a compositor drawing the pointer in software sends the same screen again
        // each time it moves. The first frame counts whatever it holds.
        Band changed;
        for (std::uint32_t y = band.top; y < band.bottom; ++y) {
            std::uint8_t* kept = newest_->data() + std::size_t{y} * newest_->pitch();
            const std::uint8_t* source = row(y);
            if (published_ && std::memcmp(kept, source, newest_->pitch()) == 0) continue;
            std::memcpy(kept, source, newest_->pitch());
            changed.add({y, y + 1});
        }
        if (published_ && changed.empty()) return;
        published_ = true;
        unread_.add(changed);
        fresh_ = true;
    }
    arrived_.notify_all();
}

void FrameExchange::publish_pointer(const StreamPointer& pointer, bool reshaped) {
    {
        std::lock_guard lock(mutex_);
        pointer_.visible = pointer.visible;
        pointer_.x = pointer.x;
        pointer_.y = pointer.y;
        if (reshaped) {
            pointer_.hotspot_x = pointer.hotspot_x;
            pointer_.hotspot_y = pointer.hotspot_y;
            pointer_.width = pointer.width;
            pointer_.height = pointer.height;
            pointer_.bgra = pointer.bgra;
            reshaped_ = true;
        }
        pointer_fresh_ = true;
    }
    arrived_.notify_all();
}

void FrameExchange::end(HRESULT code, std::string text) {
    {
        std::lock_guard lock(mutex_);
        if (end_code_ != S_OK) return;
        end_code_ = code;
        end_text_ = std::move(text);
    }
    arrived_.notify_all();
}

HRESULT FrameExchange::end_code(std::string* text) {
    std::lock_guard lock(mutex_);
    if (text) *text = end_text_;
    return end_code_;
}

bool FrameExchange::wait_for_frame(std::uint32_t timeout_ms) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [this] { return fresh_ || end_code_ != S_OK; });
}

HRESULT FrameExchange::acquire(std::uint32_t timeout_ms, StreamPointer* pointer, bool pointer_wakes, News* news) {
    std::unique_lock lock(mutex_);
    const auto news_came = [&] { return fresh_ || (pointer && pointer_wakes && pointer_fresh_); };
    arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return news_came() || end_code_ != S_OK; });
    if (end_code_ != S_OK) return posix::fail_with(end_code_, end_text_);
    if (!news_came()) return DXGI_ERROR_WAIT_TIMEOUT;
    News got;
    if (pointer && pointer_fresh_) {
        got.pointer = true;
        got.reshaped = reshaped_;
        pointer->visible = pointer_.visible;
        pointer->x = pointer_.x;
        pointer->y = pointer_.y;
        if (reshaped_) {
            pointer->hotspot_x = pointer_.hotspot_x;
            pointer->hotspot_y = pointer_.hotspot_y;
            pointer->width = pointer_.width;
            pointer->height = pointer_.height;
            pointer->bgra = pointer_.bgra;
        }
        pointer_fresh_ = reshaped_ = false;
    }
    if (news) *news = got;
    if (!fresh_) return S_OK;
    if (news) news->image = true;
    for (std::uint32_t y = unread_.top; y < unread_.bottom; ++y)
        std::memcpy(image_->data() + std::size_t{y} * image_->pitch(),
                    newest_->data() + std::size_t{y} * newest_->pitch(), image_->pitch());
    image_->make_rows_opaque(unread_.top, unread_.bottom);
    unread_ = {};
    fresh_ = false;
    return S_OK;
}

}  // namespace vistrel::wayland
