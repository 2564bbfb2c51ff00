#include "platform/x11/segment_pool.h"

#include <algorithm>

#include "platform/posix/com_object.h"

namespace vistrel::x11 {
namespace {

class KeptSegment final : public posix::ComObject<IKeptPixels> {
public:
    KeptSegment(std::shared_ptr<ShmSurface> segment, std::weak_ptr<SegmentPool> pool)
        : segment_(std::move(segment)), pool_(std::move(pool)) {}
    ~KeptSegment() override {
        if (auto pool = pool_.lock()) pool->give_back(std::move(segment_));
    }

    BYTE* STDMETHODCALLTYPE Data() override { return segment_->data(); }

private:
    std::shared_ptr<ShmSurface> segment_;
    std::weak_ptr<SegmentPool> pool_;
};

class KeptSurface final : public posix::ComObject<IKeptPixels> {
public:
    explicit KeptSurface(SurfacePtr surface) : surface_(std::move(surface)) {}

    BYTE* STDMETHODCALLTYPE Data() override { return surface_->data(); }

private:
    SurfacePtr surface_;
};

}  // namespace

bool SegmentPool::worth_a_segment(std::uint32_t width, std::uint32_t height) {
    const std::pair size{width, height};
    {
        std::lock_guard lock(mutex_);
        for (const std::shared_ptr<ShmSurface>& s : spares_)
            if (s->width() == width && s->height() == height) return true;
    }
    const auto seen = std::find(sizes_read_.begin(), sizes_read_.end(), size);
    const bool again = seen != sizes_read_.end();
    if (again) sizes_read_.erase(seen);
    sizes_read_.push_back(size);
    if (sizes_read_.size() > kSizesRemembered) sizes_read_.erase(sizes_read_.begin());
    return again;
}

IKeptPixels* SegmentPool::keep_plain(SurfacePtr surface) { return new KeptSurface(std::move(surface)); }

std::shared_ptr<ShmSurface> SegmentPool::take(std::uint32_t width, std::uint32_t height) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(spares_.begin(), spares_.end(), [&](const std::shared_ptr<ShmSurface>& s) {
            return s->width() == width && s->height() == height;
        });
        if (it != spares_.end()) {
            std::shared_ptr<ShmSurface> spare = std::move(*it);
            spares_.erase(it);
            return spare;
        }
    }
    return ShmSurface::create(connection_, width, height);
}

IKeptPixels* SegmentPool::keep(std::shared_ptr<ShmSurface> segment) {
    return new KeptSegment(std::move(segment), weak_from_this());
}

void SegmentPool::give_back(std::shared_ptr<ShmSurface> segment) {
    std::shared_ptr<ShmSurface> freed;  // detached outside the lock
    std::lock_guard lock(mutex_);
    const auto same_size = std::count_if(spares_.begin(), spares_.end(), [&](const std::shared_ptr<ShmSurface>& s) {
        return s->width() == segment->width() && s->height() == segment->height();
    });
    if (connection_->broken() || static_cast<std::size_t>(same_size) >= kSparesPerSize) {
        freed = std::move(segment);
        return;
    }
    spares_.push_back(std::move(segment));
    if (spares_.size() > kMostSpares) {  // regions of many sizes: the oldest spare goes
        freed = std::move(spares_.front());
        spares_.erase(spares_.begin());
    }
}

}  // namespace vistrel::x11
