#include "duplication/frame.h"

#include <cstring>

#include "platform/os.h"

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

// After a failed acquisition: a fresh duplication of the same output and mode, or the
// acquisition's failure when none can be had.
Result<Acquired> recreate_duplication(DuplicationSession& session, HRESULT acquire_hr,
                                      ComPtr<IErrorInfo> acquire_info) {
    ComPtr<IDXGIOutputDuplication> fresh;
    HRESULT hr = session.output->DuplicateOutput(session.device.get(), fresh.put());
    if (FAILED(hr)) {
        (void)os::take_error_info();
        return Failure::hresult(acquire_hr, std::move(acquire_info));
    }
    if (!fresh) return Failure::hresult(acquire_hr, std::move(acquire_info));
    // A display-mode change: frames of another size would no longer match the textures.
    DXGI_OUTDUPL_DESC desc{};
    fresh->GetDesc(&desc);
    if (desc.ModeDesc.Width != session.width || desc.ModeDesc.Height != session.height)
        return Failure::hresult(acquire_hr, std::move(acquire_info));
    session.duplication = std::move(fresh);
    ++session.duplication_generation;
    return Acquired::NoNewFrame;
}

}  // namespace

Result<Acquired> acquire_frame(DuplicationSession& session, std::uint32_t timeout_ms) {
    DXGI_OUTDUPL_FRAME_INFO frame{};
    ComPtr<IDXGIResource> resource;
    HRESULT hr = session.duplication->AcquireNextFrame(timeout_ms, &frame, resource.put());
    if (FAILED(hr)) {
        ComPtr<IErrorInfo> info = os::take_error_info();
        if (hr == DXGI_ERROR_WAIT_TIMEOUT) return Acquired::NoNewFrame;
        return recreate_duplication(session, hr, std::move(info));
    }
    HeldFrame held(session.duplication.get());
    if (resource) {
        ComPtr<ID3D11Texture2D> texture;
        HRESULT query_hr = resource.query(texture);
        if (SUCCEEDED(query_hr) && texture) {
            session.context->CopyResource(session.gpu_copy.get(), texture.get());
            session.has_image = true;
        } else if (FAILED(query_hr))
            (void)os::take_error_info();
    }
    // Fetching the pointer shape needs the frame still held.
    if (session.cursor_enabled) update_cursor(session, frame);
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
