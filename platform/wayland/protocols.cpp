#include "platform/wayland/protocols.h"

namespace vistrel::wayland {
namespace {

// Types of object and new_id arguments. libwayland looks them up only for objects that
// arrive in events, and these protocols send none, so every entry may stay null.
const wl_interface* const kNoTypes[8] = {};
constexpr const wl_interface** types() { return const_cast<const wl_interface**>(kNoTypes); }

const wl_message kScreencopyManagerRequests[] = {
    {"capture_output", "nio", types()},
    {"capture_output_region", "nioiiii", types()},
    {"destroy", "", types()},
};

const wl_message kScreencopyFrameRequests[] = {
    {"copy", "o", types()},
    {"destroy", "", types()},
    {"copy_with_damage", "2o", types()},
};

const wl_message kScreencopyFrameEvents[] = {
    {"buffer", "uuuu", types()},   {"flags", "u", types()},      {"ready", "uuu", types()},
    {"failed", "", types()},       {"damage", "2uuuu", types()}, {"linux_dmabuf", "3uuu", types()},
    {"buffer_done", "3", types()},
};

const wl_message kXdgOutputManagerRequests[] = {
    {"destroy", "", types()},
    {"get_xdg_output", "no", types()},
};

const wl_message kXdgOutputRequests[] = {
    {"destroy", "", types()},
};

const wl_message kXdgOutputEvents[] = {
    {"logical_position", "ii", types()},
    {"logical_size", "ii", types()},
    {"done", "", types()},
    {"name", "2s", types()},
    {"description", "2s", types()},
};

}  // namespace

const wl_interface kScreencopyManager = {"zwlr_screencopy_manager_v1", 3, 3, kScreencopyManagerRequests, 0, nullptr};
const wl_interface kScreencopyFrame = {"zwlr_screencopy_frame_v1", 3, 3,
                                       kScreencopyFrameRequests,   7, kScreencopyFrameEvents};
const wl_interface kXdgOutputManager = {"zxdg_output_manager_v1", 3, 2, kXdgOutputManagerRequests, 0, nullptr};
const wl_interface kXdgOutput = {"zxdg_output_v1", 3, 1, kXdgOutputRequests, 5, kXdgOutputEvents};

}  // namespace vistrel::wayland
