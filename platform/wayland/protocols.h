// The wire descriptions of the extension protocols the provider speaks, and the request
// and event numbers of every interface it uses. Debian ships no wlr-protocols package to
// generate them from, so the few messages are written out here; each table lists a
// protocol's messages in the order its XML declares them, which is what the numbers are.
#pragma once

#include <wayland-util.h>

struct wl_proxy;

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

// zwlr_screencopy_frame_v1's events, in the order the protocol declares them.
struct ScreencopyFrameListener {
    void (*buffer)(void*, wl_proxy*, std::uint32_t format, std::uint32_t width, std::uint32_t height,
                   std::uint32_t stride);
    void (*flags)(void*, wl_proxy*, std::uint32_t flags);
    void (*ready)(void*, wl_proxy*, std::uint32_t tv_sec_hi, std::uint32_t tv_sec_lo, std::uint32_t tv_nsec);
    void (*failed)(void*, wl_proxy*);
    void (*damage)(void*, wl_proxy*, std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height);
    void (*linux_dmabuf)(void*, wl_proxy*, std::uint32_t format, std::uint32_t width, std::uint32_t height);
    void (*buffer_done)(void*, wl_proxy*);
};

inline constexpr std::uint32_t kShmFormatArgb8888 = 0, kShmFormatXrgb8888 = 1;
inline constexpr std::uint32_t kOutputModeCurrent = 1;
inline constexpr std::uint32_t kFrameFlagYInvert = 1;

}  // namespace vistrel::wayland
