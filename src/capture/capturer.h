// The Capturer: the record behind the Python class, and the methods the capture files
// add to it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "duplication/device.h"
#include "src/convert/region.h"
#include "src/py/binding.h"
#include "src/py/python.h"

namespace vistrel {

inline constexpr const char* kCapturerPath = "vistrel::capture::Capturer";

// The Capturer's fields. States follow from them: Ready (session), Detached (nothing),
// Background (background), Iterating (frames_busy), Closed (closed).
struct CapturerState {
    std::optional<DuplicationSession> session;     // absent while a capture thread holds it
    std::shared_ptr<bool> frames_busy = std::make_shared<bool>(false);  // shared with FramesIter
    Region region;                                 // the default region, fixed
    std::uint32_t device_idx = 0;
    std::uint32_t output_idx = 0;
    std::uint32_t width = 0;     // as at construction; a reopened session does not change them
    std::uint32_t height = 0;
    std::uint32_t rotation = 0;
    bool cursor = true;
    bool closed = false;

    py::ThreadBinding binding;
    py::BorrowFlag borrow;
};

struct CapturerObject {
    PyObject_HEAD
    CapturerState* state;  // owned; leaked if the object dies on another thread
};

inline CapturerState& capturer_state(PyObject* self) { return *reinterpret_cast<CapturerObject*>(self)->state; }

// The live session, reopened when absent (after a frames() iterator finished with it).
// Null with the exception set: closed, background mode, or the reopening's failure.
DuplicationSession* ensure_session(CapturerState& state);

// Methods defined beside their Part.
PyObject* capturer_grab(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vistrel
