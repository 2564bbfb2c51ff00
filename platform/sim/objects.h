// The simulated Direct3D and duplication objects that refer to one another.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/posix/texture.h"
#include "platform/sim/desktop.h"

namespace vistrel::sim {

// Key 0 of a shared texture's keyed mutex, as its consumers see it.
struct KeyedMutexState {
    std::mutex mutex;
    std::condition_variable released;
    std::chrono::steady_clock::time_point consumer_holds_until{};  // guarded by mutex
};

// A texture the simulated device creates. Nothing copied in, it reads as zeros in rows
// padded as a staging texture's are; created with the keyed-mutex and NT-handle sharing
// flags, it answers for IDXGIKeyedMutex and IDXGIResource1.
class Texture final : public posix::Texture {
public:
    explicit Texture(const D3D11_TEXTURE2D_DESC& desc)
        : posix::Texture(desc, nullptr), keyed_mutex_(std::make_shared<KeyedMutexState>()) {}

    bool shareable() const;
    const std::shared_ptr<KeyedMutexState>& keyed_mutex() const { return keyed_mutex_; }

protected:
    SurfacePtr blank() const override { return zero_surface(desc().Width, desc().Height); }
    HRESULT query_other(REFIID riid, void** object) override;

private:
    std::shared_ptr<KeyedMutexState> keyed_mutex_;
};

// Whether `object` is a simulated device.
bool is_device(IUnknown* object);
// A new duplication of `output`, registered with it until released; the output's refusal
// (another live duplication, the secure desktop) otherwise.
HRESULT new_duplication(std::shared_ptr<OutputState> output, IDXGIOutputDuplication** duplication);
// The configuration behind a simulated adapter, or null for a foreign one.
const AdapterConfig* adapter_config(IDXGIAdapter* adapter);

}  // namespace vistrel::sim
