// The wire descriptions of the extension protocols the provider speaks, and the request
// and event numbers of every interface it uses. Debian ships no wlr-protocols package to
// generate them from, so the few messages are written out here; each table lists a
// protocol's messages in the order its XML declares them, which is what the numbers are.
#pragma once

#include <wayland-util.h>

#include <cstdint>

namespace vistrel::wayland {

extern const wl_interface kScreencopyManager;  // zwlr_screencopy_manager_v1, version 3
extern const wl_interface kScreencopyFrame;    // zwlr_screencopy_frame_v1, version 3
extern const wl_interface kXdgOutputManager;   // zxdg_output_manager_v1, version 3
extern const wl_interface kXdgOutput;          // zxdg_output_v1, version 3

namespace request {
// wl_display
inline constexpr std::uint32_t kDisplaySync = 0, kDisplayGetRegistry = 1;
inline constexpr std::uint32_t kRegistryBind = 0;
inline constexpr std::uint32_t kShmCreatePool = 0;
inline constexpr std::uint32_t kShmPoolCreateBuffer = 0, kShmPoolDestroy = 1;
inline constexpr std::uint32_t kBufferDestroy = 0;
inline constexpr std::uint32_t kOutputRelease = 0;  // version 3
inline constexpr std::uint32_t kScreencopyCaptureOutput = 0, kScreencopyManagerDestroy = 2;
inline constexpr std::uint32_t kFrameCopy = 0, kFrameDestroy = 1, kFrameCopyWithDamage = 2;
inline constexpr std::uint32_t kXdgOutputManagerDestroy = 0, kXdgOutputManagerGetOutput = 1;
inline constexpr std::uint32_t kXdgOutputDestroy = 0;
}  // namespace request

inline constexpr std::uint32_t kShmFormatArgb8888 = 0, kShmFormatXrgb8888 = 1;
inline constexpr std::uint32_t kOutputModeCurrent = 1;
inline constexpr std::uint32_t kFrameFlagYInvert = 1;

}  // namespace vistrel::wayland
