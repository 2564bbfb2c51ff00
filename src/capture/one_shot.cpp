#include "src/capture/one_shot.h"

#include "src/capture/render.h"
#include "src/errors.h"
#include "src/py/gil.h"
#include "src/py/numpy_api.h"

namespace vistrel {

std::optional<OneShot> prepare_one_shot(CapturerState& state, const std::string& fmt,
                                        const std::optional<RegionArg>& region_given) {
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
    OneShot shot{session, region.value(), format.value(), {}, nullptr};
    shot.array =
        py::new_uint8_array(shot.region.height(), shot.region.width(), channel_count(shot.format), &shot.memory);
    if (!shot.array) return std::nullopt;
    return shot;
}

PyObject* finish_one_shot(OneShot& shot) {
    std::optional<Status> read;
    {
        py::ReleaseGil released;
        read.emplace(render_frame(*shot.session, shot.region, shot.format, shot.memory));
    }
    if (!*read) return raise_failure(read->take_failure());
    return shot.array.release();
}

}  // namespace vistrel
