#include "src/capture/one_shot.h"

#include <cstring>

#include "src/capture/composite.h"
#include "src/capture/interruptible.h"
#include "src/capture/render.h"
#include "src/convert/convert_bgra.h"
#include "src/errors.h"
#include "src/py/gil.h"
#include "src/py/numpy_api.h"

namespace vistrel {
namespace {

bool make_array(OneShot& shot) {
    if (shot.raw) {
        const auto bytes = static_cast<Py_ssize_t>(std::size_t{shot.region.height()} * shot.region.width() *
                                                   channel_count(shot.format));
        shot.array = py::Ref::steal(PyBytes_FromStringAndSize(nullptr, bytes));
        if (shot.array) shot.memory = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(shot.array.get()));
        return shot.array && shot.memory;
    }
    shot.array =
        py::new_uint8_array(shot.region.height(), shot.region.width(), channel_count(shot.format), &shot.memory);
    return static_cast<bool>(shot.array);
}

PyObject* finish_kept(OneShot& shot, IKeepablePixels& keepable, std::uint32_t timeout_ms, OnTimeout on_timeout) {
    const Region& r = shot.region;
    const std::size_t packed = std::size_t{r.width()} * r.height() * 4;
    // The kept BGRA pixels are the array itself; other layouts are converted from them.
    const bool as_array = shot.format == PixelFormat::Bgra && !shot.raw;
    const bool alpha = shot.format == PixelFormat::Bgra || shot.format == PixelFormat::Rgba;
    std::optional<Result<ComPtr<IKeptPixels>>> read;
    for (SlicedWait wait(std::uint64_t{timeout_ms} * 1000000u);;) {
        {
            py::ReleaseGil released;
            read.emplace(read_to_keep(keepable, r.left, r.top, r.right, r.bottom, alpha));
            if (*read && shot.session->cursor_enabled)
                composite_cursor(read->value()->Data(), packed, r, *shot.session);
        }
        if (*read || read->failure().kind() != Failure::Kind::DeadlineExpired) break;
        if (wait.over()) {
            if (on_timeout == OnTimeout::RaiseCaptureTimeout) return raise_no_image_in_time();
            Py_RETURN_NONE;
        }
        if (!signal_handlers_passed()) return nullptr;
    }
    if (!*read) return raise_failure(read->take_failure());
    if (!as_array) {
        if (!make_array(shot)) return nullptr;
        py::ReleaseGil released;
        const std::uint8_t* rows = read->value()->Data();
        if (shot.format == PixelFormat::Bgra)
            std::memcpy(shot.memory, rows, packed);
        else
            convert_bgra(shot.format, rows, packed, shot.memory, packed / 4 * channel_count(shot.format), r.width(),
                         r.height());
        return shot.array.release();
    }
    IKeptPixels* pixels = read->value().release();
    std::shared_ptr<void> owner(pixels, [](void* p) { static_cast<IKeptPixels*>(p)->Release(); });
    return py::wrap_kept(pixels->Data(), r.height(), r.width(), 4, std::move(owner)).release();
}

}  // namespace

std::optional<OneShot> prepare_one_shot(CapturerState& state, const std::string& fmt,
                                        const std::optional<RegionArg>& region_given, bool raw, bool fresh_session) {
    if (!require(state, Need::NoIterator)) return std::nullopt;
    auto format = parse_pixel_format(fmt);
    if (!format) {
        raise_failure(format.take_failure());
        return std::nullopt;
    }
    DuplicationSession* session = ensure_session(state);
    if (!session) return std::nullopt;
    auto region = capture_region(state, *session, region_given);
    if (!region) {
        raise_failure(region.take_failure());
        return std::nullopt;
    }
    OneShot shot{session, region.value(), format.value(), {}, nullptr, nullptr, raw};
    // BGRA as the server writes it, pointer drawn in place: the array is the frame's
    // memory, with no copy of ours. A session opened for this image alone has the server
    // write only the region, in every layout, rather than the whole output into its image.
    if ((shot.format == PixelFormat::Bgra && !raw) || fresh_session)
        if (ComPtr<IKeepablePixels> keepable = keepable_pixels(*session)) {
            shot.kept = std::make_unique<DeferredImageReads>(std::move(keepable));
            return shot;
        }
    if (!make_array(shot)) return std::nullopt;
    return shot;
}

PyObject* raise_no_image_in_time() {
    PyErr_SetString(exception_class(ErrorClass::CaptureTimeout), "no desktop image within timeout_ms");
    return nullptr;
}

PyObject* finish_one_shot(OneShot& shot, std::uint32_t timeout_ms, OnTimeout on_timeout) {
    // The duplication may have been re-created meanwhile, without shared memory even.
    if (shot.kept)
        if (ComPtr<IKeepablePixels> keepable = keepable_pixels(*shot.session))
            return finish_kept(shot, *keepable.get(), timeout_ms, on_timeout);
    if (!shot.array && !make_array(shot)) return nullptr;
    std::optional<Status> read;
    {
        py::ReleaseGil released;
        read.emplace(render_frame(*shot.session, shot.region, shot.format, shot.memory));
    }
    if (!*read) return raise_failure(read->take_failure());
    return shot.array.release();
}

}  // namespace vistrel
