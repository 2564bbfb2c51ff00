// Capturer.grab_gpu: the frame copied on the GPU into the session's shared texture, and
// a GpuTexture with a new duplicate of its handle. No pixel touches the CPU.
#include "duplication/frame.h"
#include "duplication/shared_texture.h"
#include "src/capture/capturer.h"
#include "src/capture/interruptible.h"
#include "src/gpu/gpu_texture_type.h"
#include "src/py/args.h"
#include "src/py/gil.h"

namespace vistrel {
namespace {

struct GpuGrab {
    std::optional<Failure> failure;
    os::KernelHandle handle;  // empty: nothing to hand out (no frame, or key 0 busy)
};

// The part without the interpreter lock after a new frame: copy under key 0, duplicate
// the handle.
GpuGrab copy_into_shared(DuplicationSession& session, std::uint32_t timeout_ms) {
    GpuGrab out;
    auto copied = copy_to_shared_texture(session, timeout_ms);
    if (!copied) {
        out.failure.emplace(copied.take_failure());
        return out;
    }
    if (copied.value() == SharedCopy::KeyBusy) return out;
    std::uint32_t error = 0;
    HANDLE duplicate = os::duplicate_handle(session.shared.handle.get(), error);
    if (!duplicate) {
        out.failure.emplace(Failure::hresult(HRESULT_FROM_WIN32(error)));
        return out;
    }
    out.handle = os::KernelHandle(duplicate);
    return out;
}

}  // namespace

PyObject* capturer_grab_gpu(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"timeout_ms", nullptr};
    PyObject* timeout_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:grab_gpu", const_cast<char**>(keywords), &timeout_arg))
        return nullptr;
    return with_capturer<py::ExclusiveBorrow>(self, [&](CapturerState& state) -> PyObject* {
        std::uint32_t timeout_ms = 1000;
        if (timeout_arg && !py::to_u32(timeout_arg, "timeout_ms", timeout_ms)) return nullptr;
        if (!require(state, Need::NoIterator)) return nullptr;
        DuplicationSession* session = ensure_session(state);
        if (!session) return nullptr;
        Status slot = ensure_shared_texture(*session);
        if (!slot) return raise_failure(slot.take_failure());
        const LUID luid = session->adapter_luid;
        const std::uint32_t width = session->width, height = session->height;
        if (PyObject * none_or_error; !acquire_for_method(*session, timeout_ms, none_or_error)) return none_or_error;
        std::optional<GpuGrab> grabbed;
        {
            py::ReleaseGil released;
            grabbed.emplace(copy_into_shared(*session, timeout_ms));
        }
        if (grabbed->failure) return raise_failure(std::move(*grabbed->failure));
        if (!grabbed->handle) Py_RETURN_NONE;
        return new_gpu_texture(std::move(grabbed->handle), luid, width, height);
    });
}

}  // namespace vistrel
