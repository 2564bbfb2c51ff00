// Frame acquisition and read-back: every frame passes through these two.
#pragma once

#include <cstddef>
#include <cstdint>

#include "duplication/device.h"
#include "duplication/failure.h"

namespace vistrel {

enum class Acquired { NewFrame, NoNewFrame };

// Waits up to `timeout_ms` for the next desktop frame, copies its new image (if it has
// one) into the session's GPU copy texture and updates the cursor state. A lost
// duplication (any failure but the time-out) is released, re-created and reported as no
// new frame; a failed re-creation is a Failure carrying the acquisition's HRESULT, and
// leaves the session without a duplication until a later call re-creates it.
Result<Acquired> acquire_frame(DuplicationSession& session, std::uint32_t timeout_ms);

// Whether the session lost its duplication to a passing episode (the secure desktop, a
// disconnected session) and may capture again once it ends; a capture thread waits it
// out instead of ending.
bool lost_for_now(const DuplicationSession& session);

// The GPU copy texture brought to the CPU: copied into the staging texture and mapped
// for reading until destroyed. One map serves any number of row copies.
class MappedFrame {
public:
    // A failing Map is an Hresult failure; nothing is left mapped.
    static Result<MappedFrame> map(DuplicationSession& session);
    MappedFrame(MappedFrame&& other) noexcept;
    MappedFrame& operator=(MappedFrame&&) = delete;
    MappedFrame(const MappedFrame&) = delete;
    ~MappedFrame();

    // Copies rows top..bottom-1, columns left..right-1 as packed BGRA rows. The rectangle
    // must lie inside the image and `destination` hold its bytes (else an internal fault).
    void copy_rows(std::uint32_t left, std::uint32_t top, std::uint32_t right, std::uint32_t bottom,
                   std::uint8_t* destination, std::size_t destination_length) const;

    // Row `y` of the image from column `left` on, `width` pixels of BGRA, read in place.
    // The span must lie inside the image (else an internal fault).
    const std::uint8_t* row(std::uint32_t left, std::uint32_t y, std::uint32_t width) const;

private:
    MappedFrame(DuplicationSession& session, const std::uint8_t* data, std::size_t row_pitch)
        : session_(&session), data_(data), row_pitch_(row_pitch) {}

    DuplicationSession* session_;  // null once moved from
    const std::uint8_t* data_;
    std::size_t row_pitch_;
};

// Copies the region (left, top, right, bottom) of the GPU copy texture into
// `destination` as packed BGRA rows. The region must lie inside the session's image and
// the destination hold (right - left) x 4 x (bottom - top) bytes; anything else is an
// internal fault.
Status read_region(DuplicationSession& session, std::uint32_t left, std::uint32_t top, std::uint32_t right,
                   std::uint32_t bottom, std::uint8_t* destination, std::size_t destination_length);

}  // namespace vistrel
