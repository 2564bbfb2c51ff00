// Shared-memory segments handed out as frames a caller keeps (arrays the X server wrote
// into), and taken back when the caller lets go. A few spares of each size stay attached
// for the next frames; the rest, and every spare when the pool goes (its duplication
// closed), are detached and unmapped. Segments are removed as soon as they are attached,
// so no exit, kill or crash leaves one behind.
#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/kept_pixels.h"
#include "platform/x11/surface.h"

namespace vistrel::x11 {

class SegmentPool : public std::enable_shared_from_this<SegmentPool> {
public:
    explicit SegmentPool(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}

    // A width x height segment the server can write into: a spare, or a new one; null
    // when none can be made. Called by the duplication's thread only.
    std::shared_ptr<ShmSurface> take(std::uint32_t width, std::uint32_t height);
    // Whether a read of this size should go into a segment: one is spare, or the size was
    // read before. The first write into a new segment has the kernel find and zero every
    // page for the server (9-18 ms for 1080p, and 2-4 ms more to free it), where a read
    // over the socket costs about 6 ms: a segment pays only when it is reused. Called by
    // the duplication's thread only.
    bool worth_a_segment(std::uint32_t width, std::uint32_t height);
    // `segment` wrapped for a caller to keep; back to this pool (if it still exists) when
    // the caller releases it.
    IKeptPixels* keep(std::shared_ptr<ShmSurface> segment);
    // Plain memory wrapped for a caller to keep; freed when the caller releases it.
    static IKeptPixels* keep_plain(SurfacePtr surface);
    // Keeps `segment` as a spare, or frees it when there are enough of its size. Any thread.
    void give_back(std::shared_ptr<ShmSurface> segment);

private:
    // Enough for a frame being read, one being handed over and one just let go.
    static constexpr std::size_t kSparesPerSize = 3;
    // Regions of many sizes would otherwise keep a few of each.
    static constexpr std::size_t kMostSpares = 6;

    std::shared_ptr<Connection> connection_;
    std::mutex mutex_;
    // Sizes read before, the newest last: as many as spares may be kept.
    static constexpr std::size_t kSizesRemembered = kMostSpares;

    std::vector<std::shared_ptr<ShmSurface>> spares_;                  // guarded by mutex_
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes_read_;  // the duplication's thread only
};

}  // namespace vistrel::x11
