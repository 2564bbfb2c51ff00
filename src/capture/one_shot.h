// What the one-shot captures (grab, screenshot) do around bringing the session up to date:
// the checks and the new array before, the rendering into it after.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "duplication/kept_frame.h"
#include "src/capture/capturer.h"
#include "src/convert/pixel_format.h"
#include "src/py/ref.h"

namespace vistrel {

// A one-shot capture's target: the live session, the region and layout it reads, and
// the new array it fills; or, where the provider writes frames into memory the array can
// keep, no array yet and the session's acquisitions leaving the pixels to that read.
struct OneShot {
    DuplicationSession* session = nullptr;
    Region region{};
    PixelFormat format = PixelFormat::Bgra;
    py::Ref array;
    std::uint8_t* memory = nullptr;
    std::unique_ptr<DeferredImageReads> kept;
    // A bytes object of the pixels instead of an array: a command that only writes a file
    // then never imports NumPy, which costs a process more than the capture.
    bool raw = false;
};

// Checks the busy mark, parses `fmt`, gets the live session (reopening it when needed)
// and the region, and makes the uninitialised array (bytes when `raw`), in that order.
// `fresh_session`: the session was opened for this one image. Nothing, with the exception
// set, at the first failure.
std::optional<OneShot> prepare_one_shot(CapturerState& state, const std::string& fmt,
                                        const std::optional<RegionArg>& region_given, bool raw = false,
                                        bool fresh_session = false);

// What a one-shot capture answers when the pixels did not come within its time-out.
enum class OnTimeout { ReturnNone, RaiseCaptureTimeout };

// Renders the session's newest image into the array with the lock released, or reads
// the kept frame and hands it to NumPy: the array, or null with the exception set. A
// kept read the platform does not answer is asked again for up to `timeout_ms`, going
// back to the interpreter between tries so that Ctrl+C ends it.
PyObject* finish_one_shot(OneShot& shot, std::uint32_t timeout_ms, OnTimeout on_timeout);

// Raises CaptureTimeout for a desktop image that did not come in time; returns null.
PyObject* raise_no_image_in_time();

}  // namespace vistrel
