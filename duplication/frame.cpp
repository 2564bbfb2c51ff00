#include "duplication/frame.h"

#include <cstring>

#include "duplication/dpi_awareness.h"
#include "platform/os.h"
#include "platform/screen_cast.h"

namespace vistrel {
namespace {

// Holds an acquired frame until ReleaseFrame; a failing release is ignored.
class HeldFrame {
public:
    explicit HeldFrame(IDXGIOutputDuplication* duplication) : duplication_(duplication) {}
    HeldFrame(const HeldFrame&) = delete;
    HeldFrame& operator=(const HeldFrame&) = delete;
    ~HeldFrame() {
        if (FAILED(duplication_->ReleaseFrame())) (void)os::take_error_info();
    }

private:
    IDXGIOutputDuplication* duplication_;
};

// Why a re-creation can be refused for a while only: the secure desktop (UAC, Ctrl+Alt+Del,
// the lock screen) is closed to all but LOCAL_SYSTEM, and a disconnected or switching
// session has no desktop to duplicate until it comes back.
bool refused_for_now(HRESULT hr) {
    return hr == E_ACCESSDENIED || hr == DXGI_ERROR_SESSION_DISCONNECTED || hr == DXGI_ERROR_NOT_CURRENTLY_AVAILABLE;
}

// A fresh duplication of the session's output in place of the lost one, which the caller
// has already released: Windows refuses a second duplication of an output while one is
// alive. When none can be had, the failure is the acquisition's that lost the old one.
Result<Acquired> recreate_duplication(DuplicationSession& session, ComPtr<IErrorInfo> lost_info) {
    const HRESULT lost = session.lost_hresult;
    const PerMonitorDpiScope dpi;
    ComPtr<IDXGIOutputDuplication> fresh;
    set_cast_restore_token(session.output.get(), session.cast_token);
    const HRESULT hr = session.output->DuplicateOutput(session.device.get(), fresh.put());
    if (FAILED(hr)) (void)os::take_error_info();
    // Only a duplication taken away (ACCESS_LOST) can come back; a removed device cannot.
    session.refused_for_now = lost == DXGI_ERROR_ACCESS_LOST && FAILED(hr) && refused_for_now(hr);
    if (FAILED(hr) || !fresh) return Failure::hresult(lost, std::move(lost_info));
    // A display-mode change: frames of another size would no longer match the textures,
    // and frames of another rotation would no longer be what the session reports. The
    // fresh duplication goes too, so a new session can duplicate the output.
    DXGI_OUTDUPL_DESC desc{};
    fresh->GetDesc(&desc);
    if (desc.ModeDesc.Width != session.width || desc.ModeDesc.Height != session.height ||
        static_cast<std::uint32_t>(desc.Rotation) != session.rotation)
        return Failure::hresult(lost, std::move(lost_info));
    session.cast_token = cast_restore_token(fresh.get());
    session.duplication = std::move(fresh);
    session.lost_hresult = S_OK;
    ++session.duplication_generation;
    return Acquired::NoNewFrame;
}

// Whether a desktop image can be copied into the session's copy texture: a surface of
// another size or format (a mode change, an HDR surface) would be silently ignored by the
// GPU, leaving an old image that looks current.
bool matches_copy_texture(const DuplicationSession& session, ID3D11Texture2D* texture) {
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    return desc.Width == session.width && desc.Height == session.height && desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM;
}

// Copies a held frame's new desktop image and updates the pointer, then gives the frame
// back. False, copying nothing, when the image does not fit the copy texture.
bool take_held_frame(DuplicationSession& session, const DXGI_OUTDUPL_FRAME_INFO& frame,
                     const ComPtr<IDXGIResource>& resource) {
    HeldFrame held(session.duplication.get());
    // A frame without a present time carries no new desktop image (a pointer update, or a
    // first frame whose surface is still blank): the copy texture keeps the last image.
    if (resource && frame.LastPresentTime.QuadPart != 0) {
        ComPtr<ID3D11Texture2D> texture;
        HRESULT query_hr = resource.query(texture);
        if (SUCCEEDED(query_hr) && texture) {
            if (!matches_copy_texture(session, texture.get())) return false;
            session.context->CopyResource(session.gpu_copy.get(), texture.get());
            session.has_image = true;
        } else if (FAILED(query_hr))
            (void)os::take_error_info();
    }
    // Fetching the pointer shape needs the frame still held.
    if (session.cursor_enabled) update_cursor(session, frame);
    return true;
}

}  // namespace

bool lost_for_now(const DuplicationSession& session) { return !session.duplication && session.refused_for_now; }

Result<Acquired> acquire_frame(DuplicationSession& session, std::uint32_t timeout_ms) {
    if (!session.duplication) return recreate_duplication(session, nullptr);
    DXGI_OUTDUPL_FRAME_INFO frame{};
    ComPtr<IDXGIResource> resource;
    HRESULT hr = session.duplication->AcquireNextFrame(timeout_ms, &frame, resource.put());
    if (FAILED(hr)) {
        ComPtr<IErrorInfo> info = os::take_error_info();
        if (hr == DXGI_ERROR_WAIT_TIMEOUT) return Acquired::NoNewFrame;
        session.duplication.reset();
        session.lost_hresult = hr;
        // A removed or reset device duplicates nothing again: only a new session helps.
        if (hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET) {
            session.refused_for_now = false;
            return Failure::hresult(hr, std::move(info));
        }
        return recreate_duplication(session, std::move(info));
    }
    if (!take_held_frame(session, frame, resource)) {
        // Like a mode change: the duplication goes, and re-creating it compares the mode.
        session.duplication.reset();
        session.lost_hresult = DXGI_ERROR_ACCESS_LOST;
        session.refused_for_now = false;
        return Failure::hresult(DXGI_ERROR_ACCESS_LOST);
    }
    return Acquired::NewFrame;
}

Result<MappedFrame> MappedFrame::map(DuplicationSession& session) {
    session.context->CopyResource(session.staging.get(), session.gpu_copy.get());
    D3D11_MAPPED_SUBRESOURCE mapped{};
    // No do-not-wait flag: Map waits for the copy.
    HRESULT hr = session.context->Map(session.staging.get(), 0, D3D11_MAP_READ, 0, &mapped);
    if (FAILED(hr)) return Failure::hresult(hr, os::take_error_info());
    return MappedFrame(session, static_cast<const std::uint8_t*>(mapped.pData), mapped.RowPitch);
}

MappedFrame::MappedFrame(MappedFrame&& other) noexcept
    : session_(std::exchange(other.session_, nullptr)), data_(other.data_), row_pitch_(other.row_pitch_) {}

MappedFrame::~MappedFrame() {
    if (session_) session_->context->Unmap(session_->staging.get(), 0);
}

void MappedFrame::copy_rows(std::uint32_t left, std::uint32_t top, std::uint32_t right, std::uint32_t bottom,
                            std::uint8_t* destination, std::size_t destination_length) const {
    if (left > right || top > bottom || right > session_->width || bottom > session_->height)
        throw InternalFault("read_region: region outside the image");
    const std::size_t row_bytes = std::size_t{right - left} * 4;
    const std::size_t rows = bottom - top;
    if (destination_length < row_bytes * rows) throw InternalFault("read_region: destination too short");
    const std::uint8_t* source = data_ + std::size_t{top} * row_pitch_ + std::size_t{left} * 4;
    for (std::size_t i = 0; i < rows; ++i) std::memcpy(destination + i * row_bytes, source + i * row_pitch_, row_bytes);
}

const std::uint8_t* MappedFrame::row(std::uint32_t left, std::uint32_t y, std::uint32_t width) const {
    if (y >= session_->height || left > session_->width || width > session_->width - left)
        throw InternalFault("MappedFrame::row: outside the image");
    return data_ + std::size_t{y} * row_pitch_ + std::size_t{left} * 4;
}

Status read_region(DuplicationSession& session, std::uint32_t left, std::uint32_t top, std::uint32_t right,
                   std::uint32_t bottom, std::uint8_t* destination, std::size_t destination_length) {
    // Checked before anything is queued: a caller's mistake, not the platform's.
    if (left > right || top > bottom || right > session.width || bottom > session.height)
        throw InternalFault("read_region: region outside the image");
    if (destination_length < std::size_t{right - left} * 4 * (bottom - top))
        throw InternalFault("read_region: destination too short");
    auto mapped = MappedFrame::map(session);
    if (!mapped) return mapped.take_failure();
    mapped->copy_rows(left, top, right, bottom, destination, destination_length);
    return Ok{};
}

}  // namespace vistrel
