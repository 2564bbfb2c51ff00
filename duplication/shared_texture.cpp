#include "duplication/shared_texture.h"

#include "duplication/failed_call.h"
#include "platform/os.h"

namespace vistrel {
namespace {

// A wait status, not an error: SUCCEEDED would take it for success.
constexpr HRESULT kWaitAbandoned = static_cast<HRESULT>(WAIT_ABANDONED);

// QueryInterface whose success without an interface is E_POINTER.
template <class T, class U>
Result<ComPtr<T>> query(const ComPtr<U>& object) {
    ComPtr<T> out;
    HRESULT hr = object.query(out);
    if (FAILED(hr)) return failed_call(hr);
    if (!out) return Failure::hresult(E_POINTER);
    return out;
}

}  // namespace

Status ensure_shared_texture(DuplicationSession& session) {
    if (session.shared.filled()) return Ok{};
    D3D11_TEXTURE2D_DESC desc = frame_texture_desc(session.width, session.height);
    desc.MiscFlags = D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX | D3D11_RESOURCE_MISC_SHARED_NTHANDLE;

    ComPtr<ID3D11Texture2D> texture;
    HRESULT hr = session.device->CreateTexture2D(&desc, nullptr, texture.put());
    if (FAILED(hr)) return failed_call(hr);
    if (!texture) return Failure::no_object();
    auto keyed_mutex = query<IDXGIKeyedMutex>(texture);
    if (!keyed_mutex) return keyed_mutex.take_failure();
    auto resource = query<IDXGIResource1>(texture);
    if (!resource) return resource.take_failure();
    HANDLE handle = nullptr;
    hr = resource.value()->CreateSharedHandle(nullptr, DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE, nullptr,
                                              &handle);
    if (FAILED(hr)) return failed_call(hr);
    resource.value().reset();  // only the handle is kept

    session.shared.texture = std::move(texture);
    session.shared.keyed_mutex = std::move(keyed_mutex).value();
    session.shared.handle = os::KernelHandle(handle);
    session.shared.width = session.width;
    session.shared.height = session.height;
    return Ok{};
}

Result<SharedCopy> copy_to_shared_texture(DuplicationSession& session, std::uint32_t timeout_ms) {
    HRESULT hr = session.shared.keyed_mutex->AcquireSync(0, timeout_ms);
    if (hr == kWaitAbandoned) {
        // A holder of key 0 went away without releasing it: texture and mutex are no longer
        // consistent, so both are replaced. Consumers keep the old texture through their own
        // handles; only a fresh one, whose handle nobody else has yet, is copied into.
        session.shared.reset();
        if (Status fresh = ensure_shared_texture(session); !fresh) return fresh.take_failure();
        hr = session.shared.keyed_mutex->AcquireSync(0, timeout_ms);
        if (hr == kWaitAbandoned) {
            session.shared.reset();
            return Failure::hresult(hr);
        }
    }
    if (FAILED(hr)) return failed_call(hr);
    if (hr == WAIT_TIMEOUT) return SharedCopy::KeyBusy;
    session.context->CopyResource(session.shared.texture.get(), session.gpu_copy.get());
    hr = session.shared.keyed_mutex->ReleaseSync(0);
    if (FAILED(hr)) return failed_call(hr);
    return SharedCopy::Copied;
}

}  // namespace vistrel
