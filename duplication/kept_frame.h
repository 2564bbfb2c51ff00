// Frames whose memory the caller keeps, where the provider can write a frame straight into
// such memory (IKeepablePixels): the one-shot captures hand it to NumPy without a copy.
#pragma once

#include <cstdint>

#include "duplication/device.h"
#include "duplication/failure.h"
#include "platform/kept_pixels.h"

namespace vistrel {

// The session's duplication as IKeepablePixels; empty when its provider does not offer it
// (Windows, the simulated machine, an X server without shared memory) or it is lost.
ComPtr<IKeepablePixels> keepable_pixels(const DuplicationSession& session);

// For its lifetime, the duplication's acquisitions leave reading the image to ReadToKeep.
class DeferredImageReads {
public:
    explicit DeferredImageReads(ComPtr<IKeepablePixels> keepable) : keepable_(std::move(keepable)) {
        keepable_->DeferImageReads(TRUE);
    }
    DeferredImageReads(const DeferredImageReads&) = delete;
    DeferredImageReads& operator=(const DeferredImageReads&) = delete;
    ~DeferredImageReads() { keepable_->DeferImageReads(FALSE); }

private:
    ComPtr<IKeepablePixels> keepable_;
};

// The rectangle of the output as it is now, as packed BGRA rows the caller keeps.
// With `opaque` false the fourth bytes are left as the platform gave them. A
// DeadlineExpired failure when the platform did not answer in time: asking again is safe.
Result<ComPtr<IKeptPixels>> read_to_keep(IKeepablePixels& keepable, std::uint32_t left, std::uint32_t top,
                                         std::uint32_t right, std::uint32_t bottom, bool opaque = true);

}  // namespace vistrel
