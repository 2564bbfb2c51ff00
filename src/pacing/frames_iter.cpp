// Capturer.frames and the FramesIter it returns: slot k of a constant-frame-rate schedule
// falls due k periods after the iterator was made and is served with the newest frame
// or a repeat of the last one; overdue slots are served at once, none is skipped.
#include <variant>

#include "platform/words.h"
#include "src/capture/capturer.h"
#include "src/capture/interruptible.h"
#include "src/convert/convert_bgra.h"
#include "src/pacing/frames_iter_type.h"
#include "src/pacing/schedule.h"
#include "src/py/args.h"
#include "src/py/bound_class.h"
#include "src/py/gil.h"
#include "src/py/numpy_api.h"
#include "src/py/region_arg.h"

namespace vistrel {
namespace {

// The end of each slot wait is spent polling the clock rather than sleeping: a timer
// wakes its thread up to tens of microseconds late, which would show in every slot.
constexpr std::uint64_t kSpinTailNs = 200000;

struct FramesIterState {
    std::unique_ptr<os::HighResTimer> timer;  // absent: slot waits use the ordinary sleep
    os::Instant schedule_start;
    std::uint64_t period = 0;
    std::uint64_t timeout_ns = 0;  // bounds the wait for the first frame only
    std::shared_ptr<CaptureShared> shared;
    std::shared_ptr<Lifecycle> capturer;  // the Capturer's state, Iterating while this runs
    std::uint64_t iterating_token = 0;    // this iterator's claim on it
    std::optional<BackgroundCapture> background;
    std::uint64_t next_slot = 0;
    Region region;
    std::uint64_t last_seq = 0;
    Pixels last_frame;
    std::uint32_t fps = 1;
    bool closed = false;
    PixelFormat format = PixelFormat::Bgra;

    py::ThreadBinding binding;
    py::BorrowFlag borrow;
};

// close(), __exit__ and deallocation: stop the thread, release its session, free the Capturer.
void close_iterator(FramesIterState& s) {
    if (!s.closed) {
        s.closed = true;
        s.capturer->iterator_ended(s.iterating_token);  // even if the join reports a panicked thread
        if (s.background) {
            std::optional<DuplicationSession> released = stop_and_join(s.background);
            (void)released;  // not returned to the Capturer
        }
    }
}

struct FramesIterClass {
    using State = FramesIterState;
    static constexpr const char* kPath = "vistrel::pacing::FramesIter";
    static void close(FramesIterState& s) { close_iterator(s); }
    static void finalise(FramesIterState& s) { close_iterator(s); }
};
using FramesIter = py::BoundClass<FramesIterClass>;

// Which frame serves the slot: a new one, a repeat, or a failure to raise.
struct Choice {
    Pixels pixels;
    bool fresh = false;
    std::uint64_t seq = 0;
    bool stopped = false;  // the first-frame wait saw the stop flag
    std::optional<Failure> failure;
};

// Call with the interpreter lock: the first frame is waited for in slices. Nothing
// (exception set) when a signal handler raised.
std::optional<Choice> choose_frame(FramesIterState& s) {
    Choice choice;
    if (!s.last_frame) {
        std::optional<WaitOutcome> waited = wait_for_frame_interruptibly(*s.shared, s.timeout_ns);
        if (!waited) return std::nullopt;
        WaitOutcome& outcome = *waited;
        if (auto* frame = std::get_if<LatestFrame>(&outcome)) {
            choice.pixels = std::move(frame->pixels);
            choice.seq = frame->seq;
            choice.fresh = true;
        } else if (std::holds_alternative<Stopped>(outcome)) {
            choice.stopped = true;
        } else {
            choice.failure = std::move(std::get<Failure>(outcome));
        }
        return choice;
    }
    if (auto newer = take_newer(*s.shared, s.last_seq)) {
        choice.pixels = std::move(newer->pixels);
        choice.seq = newer->seq;
        choice.fresh = true;
    } else {
        // A thread that failed delivers nothing more: say so rather than repeat forever.
        if (auto text = thread_failure_text(*s.shared)) {
            choice.failure = Failure::described(*text);
            return choice;
        }
        choice.pixels = s.last_frame;
    }
    return choice;
}

PyObject* iter_next(PyObject* self) {
    return FramesIter::use<py::ExclusiveBorrow>(self, [](FramesIterState& s) -> PyObject* {
        if (s.closed) return nullptr;  // StopIteration
        const std::uint64_t k = s.next_slot;
        const os::Instant due = due_time(s.schedule_start, k, s.period);
        // Loaded before a frame leaves the slot, so a failure to load loses no frame.
        (void)py::numpy_api();
        // An interrupted wait consumes no slot: the next call serves slot k again.
        if (!wait_until_interruptibly(s.timer.get(), due, kSpinTailNs)) return nullptr;
        std::optional<Choice> choice = choose_frame(s);
        if (!choice) return nullptr;
        if (choice->stopped) {
            PyErr_SetString(exception_class(ErrorClass::CaptureTimeout), "frames() iteration produced no frames");
            return nullptr;
        }
        if (choice->failure) {
            if (choice->failure->kind() == Failure::Kind::DeadlineExpired)
                if (auto text = words::frames_timeout(static_cast<std::uint32_t>(s.timeout_ns / 1000000u))) {
                    PyErr_SetString(exception_class(ErrorClass::CaptureTimeout), text->c_str());
                    return nullptr;
                }
            return raise_failure(std::move(*choice->failure));
        }
        if (choice->fresh) {
            s.last_seq = choice->seq;
            s.last_frame = choice->pixels;
        }
        const double seconds = static_cast<double>(k) / static_cast<double>(s.fps);
        s.next_slot = k + 1;

        const std::uint32_t w = s.region.width(), h = s.region.height();
        const unsigned channels = channel_count(s.format);
        const FrameBytes& bgra = *choice->pixels;
        py::Ref array;
        if (s.format == PixelFormat::Bgra) {
            array = py::copy_frame(bgra.data(), h, w, 4);  // every yielded array has memory of its own
        } else {
            std::uint8_t* destination = nullptr;
            const std::size_t length = std::size_t{w} * h * channels;
            py::Ref flat = py::new_flat_uint8_array(length, &destination);
            if (!flat) return nullptr;
            {
                py::ReleaseGil released;
                convert_bgra(s.format, bgra.data(), bgra.size(), destination, length, w, h);
            }
            array = py::reshape_frame(flat, h, w, channels);
        }
        if (!array) return nullptr;
        py::Ref stamp = py::Ref::steal(PyFloat_FromDouble(seconds));
        if (!stamp) return nullptr;
        return PyTuple_Pack(2, array.get(), stamp.get());
    });
}

PyMethodDef g_methods[] = {
    FramesIter::close_method(
        "close($self)\n--\n\nExplicit close \xe2\x80\x94 wind down bg thread, release Capturer busy flag."),
    FramesIter::enter_method(),
    FramesIter::exit_method(),
    {nullptr, nullptr, 0, nullptr},
};

// Only Capturer.frames() makes iterators; the class has no docstring.
PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&py::refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&FramesIter::dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&FramesIter::iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&iter_next)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_type_table = {
    .name = "vistrel._vistrel.FramesIter",
    .basicsize = sizeof(FramesIter::Object),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = g_slots,
};

py::ProcessType g_type(&g_type_table);

}  // namespace

PyTypeObject* frames_iter_type() { return g_type.get(); }

PyObject* capturer_frames(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fps", "fmt", "region", "timeout_ms", nullptr};
    PyObject *fps_arg = nullptr, *fmt_arg = nullptr, *region_arg = nullptr, *timeout_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:frames", const_cast<char**>(keywords), &fps_arg, &fmt_arg,
                                     &region_arg, &timeout_arg))
        return nullptr;
    return with_capturer<py::ExclusiveBorrow>(self, [&](CapturerState& capturer) -> PyObject* {
        std::uint32_t fps = 0, timeout_ms = 5000;
        std::string fmt = "bgra";
        std::optional<RegionArg> region_given;
        if (!py::to_u32(fps_arg, "fps", fps)) return nullptr;
        if (fmt_arg && !py::to_str(fmt_arg, "fmt", fmt)) return nullptr;
        if (!py::parse_region_arg(region_arg, region_given)) return nullptr;
        if (timeout_arg && !py::to_u32(timeout_arg, "timeout_ms", timeout_ms)) return nullptr;

        if (fps == 0) return raise_failure(Failure::bad_value("frames(fps=) must be > 0"));
        if (!require(capturer, Need::NotInBackground) || !require(capturer, Need::NoFurtherIterator)) return nullptr;
        auto format = parse_pixel_format(fmt);
        if (!format) return raise_failure(format.take_failure());
        auto taken = take_session_for_thread(capturer, region_given);
        if (!taken) return nullptr;
        const Region region = taken->region;
        // The thread captures once per slot, just before it falls due: a busy desktop then
        // costs what start(fps) costs, not a crop of every change.
        const os::Instant schedule_start = os::now();
        BackgroundCapture background = spawn_capture(std::move(taken->session), {fps, region, false, schedule_start});

        auto state = std::make_unique<FramesIterState>();
        state->schedule_start = schedule_start;
        state->timer = os::HighResTimer::create();
        state->period = period_ns(fps);
        state->timeout_ns = std::uint64_t{timeout_ms} * 1000000u;
        state->shared = background.shared;
        state->capturer = capturer.lifecycle;
        state->iterating_token = capturer.lifecycle->start_iterating();
        state->background.emplace(std::move(background));
        state->region = region;
        state->fps = fps;
        state->format = format.value();

        PyObject* iterator = FramesIter::create(frames_iter_type(), state);
        if (!iterator) {
            py::ErrorGuard pending;  // tearing down joins a thread; the error stays for the caller
            close_iterator(*state);
        }
        return iterator;
    });
}

}  // namespace vistrel
