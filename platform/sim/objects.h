// The simulated Direct3D and duplication objects that refer to one another.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/posix/com_object.h"
#include "platform/sim/desktop.h"

namespace vistrel::sim {

// Key 0 of a shared texture's keyed mutex, as its consumers see it.
struct KeyedMutexState {
    std::mutex mutex;
    std::condition_variable released;
    std::chrono::steady_clock::time_point consumer_holds_until{};  // guarded by mutex
};

// A 2D texture: its description and its pixels (shared copy-on-write, so CopyResource
// costs what a GPU copy costs the CPU: nearly nothing).
class Texture final : public posix::ComObject<ID3D11Texture2D, ID3D11Resource, ID3D11DeviceChild> {
public:
    Texture(const D3D11_TEXTURE2D_DESC& desc, SurfacePtr content);

    void STDMETHODCALLTYPE GetDesc(D3D11_TEXTURE2D_DESC* desc) override { *desc = desc_; }

    const D3D11_TEXTURE2D_DESC& desc() const { return desc_; }
    SurfacePtr content() const;
    void set_content(SurfacePtr content);
    // Map/Unmap: the mapped surface stays alive while mapped.
    SurfacePtr map();
    bool unmap();

    // Created with the keyed-mutex and NT-handle sharing flags.
    bool shareable() const;
    const std::shared_ptr<KeyedMutexState>& keyed_mutex() const { return keyed_mutex_; }

protected:
    const char* trace_name() const override { return "ID3D11Texture2D"; }
    // A shareable texture answers for IDXGIKeyedMutex and IDXGIResource1.
    HRESULT query_other(REFIID riid, void** object) override;

private:
    const D3D11_TEXTURE2D_DESC desc_;
    std::shared_ptr<KeyedMutexState> keyed_mutex_;
    mutable std::mutex mutex_;
    SurfacePtr content_;
    SurfacePtr mapped_;
};

// The simulated texture behind a resource, or null for a foreign one.
Texture* as_texture(ID3D11Resource* resource);
// Whether `object` is a simulated device.
bool is_device(IUnknown* object);
// A new duplication of `output`, registered with it until released; the output's refusal
// (another live duplication, the secure desktop) otherwise.
HRESULT new_duplication(std::shared_ptr<OutputState> output, IDXGIOutputDuplication** duplication);
// The configuration behind a simulated adapter, or null for a foreign one.
const AdapterConfig* adapter_config(IDXGIAdapter* adapter);

}  // namespace vistrel::sim
