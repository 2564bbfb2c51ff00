// DuplicationSession: everything one capturer needs to read one output, and its open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "duplication/cursor.h"
#include "duplication/failure.h"
#include "platform/com_ptr.h"
#include "platform/os.h"

namespace vistrel {

// The session's texture for zero-copy hand-over to another Direct3D consumer: created
// shareable (keyed mutex, NT handle) on first use, reused for every GPU grab.
struct SharedTextureSlot {
    ComPtr<ID3D11Texture2D> texture;
    ComPtr<IDXGIKeyedMutex> keyed_mutex;
    os::KernelHandle handle;  // the session's own shared NT handle
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    bool filled() const { return static_cast<bool>(texture); }
    // Closes the handle, then releases the texture, then the keyed mutex.
    void reset() {
        handle.reset();
        texture.reset();
        keyed_mutex.reset();
    }
};

// One owner at a time; moved between threads, never shared or copied. Every interface
// but the duplication is non-null while the session exists. Width, height and rotation are the
// duplication's at open and never change, even when the duplication is re-created.
struct DuplicationSession {
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    ComPtr<IDXGIOutput1> output;
    ComPtr<IDXGIOutputDuplication> duplication;  // empty while lost and not yet re-created
    ComPtr<ID3D11Texture2D> gpu_copy;            // receives every acquired desktop image
    ComPtr<ID3D11Texture2D> staging;             // CPU-readable copy of gpu_copy
    CursorState cursor;                          // as the platform reports it, in the desktop's orientation
    // On a rotated output, the pointer turned into the surface's orientation for drawing.
    std::optional<CursorState> turned_cursor;
    SharedTextureSlot shared;  // empty until the first GPU grab
    // Packed BGRA rows for conversions (the rows under the pointer); empty at opening,
    // grown with zeros when too short, never shrunk.
    std::vector<std::uint8_t> frame_buffer;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t rotation = 0;
    bool cursor_enabled = false;
    std::int64_t last_present_time = 0;
    bool has_image = false;  // gpu_copy holds a desktop image (set by acquire_frame)
    // While the duplication is lost and none could be re-created yet: the acquisition
    // failure that lost it (what callers are told), and whether the re-creation was refused
    // for a passing reason (the secure desktop, a disconnected session).
    HRESULT lost_hresult = S_OK;
    bool refused_for_now = false;
    // Counts the re-creations of a lost duplication, so a caller waiting across several
    // acquisitions can tell one from a time-out.
    std::uint64_t duplication_generation = 0;
    LUID adapter_luid = {0, 0};
    // Which output this is: its index now, and its name (DeviceName), which stays with the
    // monitor when the outputs are numbered anew.
    std::uint32_t output_index = 0;
    std::u16string output_name;
    // The output's desktop origin, to make the system cursor position output-relative.
    std::int32_t desktop_left = 0;
    std::int32_t desktop_top = 0;
    // Where a screen-cast portal serves (Wayland): the restore token the next duplication
    // opens with (nullopt: the one the provider stored for the output); after each
    // duplication, the one the portal gave for next time (nullopt: none, or no portal).
    std::optional<std::string> cast_token;

    // The pointer as it is drawn into this session's frames.
    const CursorState& drawn_cursor() const { return turned_cursor ? *turned_cursor : cursor; }

    DuplicationSession() = default;
    DuplicationSession(DuplicationSession&&) noexcept = default;
    DuplicationSession& operator=(DuplicationSession&&) noexcept = default;
    DuplicationSession(const DuplicationSession&) = delete;
    DuplicationSession& operator=(const DuplicationSession&) = delete;
    // Releases in this order: device, context, output, duplication, both textures,
    // the pointer shape, the shared texture slot, then the frame buffer.
    ~DuplicationSession();

    // Opens a session on adapter `device_index`, output `output_index`, and warms it up
    // with two 50 ms acquisitions unless `warm_up` is false (a session for one image,
    // which takes the fresh duplication's first frame itself). With `same_output`, the
    // output must bear that name: it is looked for among the adapter's outputs when
    // `output_index` names another, and DXGI_ERROR_ACCESS_LOST when none does. On failure
    // nothing obtained survives. `cast_token` starts the session's cast_token.
    static Result<DuplicationSession> open(std::uint32_t device_index, std::uint32_t output_index, bool cursor_enabled,
                                           std::u16string_view same_output = {}, bool warm_up = true,
                                           std::optional<std::string> cast_token = std::nullopt);
};

// The description of the session's frame textures (width x height BGRA, default usage,
// render target and shader resource); callers adjust usage, access and sharing.
D3D11_TEXTURE2D_DESC frame_texture_desc(std::uint32_t width, std::uint32_t height);

}  // namespace vistrel
