#include "duplication/kept_frame.h"

#include "platform/os.h"

namespace vistrel {

ComPtr<IKeepablePixels> keepable_pixels(const DuplicationSession& session) {
    ComPtr<IKeepablePixels> keepable;
    if (!session.duplication) return keepable;
    // Asked by its identifier: Windows' own headers know no such interface.
    if (FAILED(session.duplication->QueryInterface(IKeepablePixels::kIid, keepable.put_void()))) keepable.reset();
    return keepable;
}

Result<ComPtr<IKeptPixels>> read_to_keep(IKeepablePixels& keepable, std::uint32_t left, std::uint32_t top,
                                         std::uint32_t right, std::uint32_t bottom, bool opaque) {
    ComPtr<IKeptPixels> pixels;
    const HRESULT hr = keepable.ReadToKeep(left, top, right, bottom, opaque ? TRUE : FALSE, pixels.put());
    // The server kept silent past its reply deadline: the frame is still owed, and the
    // caller may go back to its own wait (signals, time-out) and ask again.
    if (hr == DXGI_ERROR_WAIT_TIMEOUT) return Failure::deadline_expired();
    if (FAILED(hr)) return Failure::hresult(hr, os::take_error_info());
    if (!pixels) return Failure::no_object();
    return pixels;
}

}  // namespace vistrel
