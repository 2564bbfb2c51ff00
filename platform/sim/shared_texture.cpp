// Shared textures: the keyed mutex and the shared NT handle of a texture created with
// the sharing flags, and the process-wide table of NT handles.
#include <algorithm>
#include <map>

#include "platform/posix/kernel_handles.h"
#include "platform/sim/objects.h"

namespace vistrel::sim {
namespace {

// The process's NT handles to shared textures; every handle keeps its texture alive.
struct HandleTable {
    std::mutex mutex;
    std::map<std::uintptr_t, ComPtr<ID3D11Texture2D>> handles;
    std::uintptr_t next = 0x1F4;
};

// Never destroyed: leaked threads may still close handles while the process exits.
HandleTable& table() {
    static HandleTable& t = *new HandleTable;
    return t;
}

void* open_handle(ComPtr<ID3D11Texture2D> texture) {
    HandleTable& t = table();
    std::lock_guard lock(t.mutex);
    const std::uintptr_t value = t.next;
    t.next += 4;
    t.handles.emplace(value, std::move(texture));
    adjust_live_objects(+1);
    return reinterpret_cast<void*>(value);
}

ComPtr<ID3D11Texture2D> texture_of(std::uintptr_t handle) {
    HandleTable& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.handles.find(handle);
    return it == t.handles.end() ? nullptr : it->second;
}

class KeyedMutex final : public posix::ComObject<IDXGIKeyedMutex, IDXGIDeviceSubObject, IDXGIObject> {
public:
    explicit KeyedMutex(std::shared_ptr<KeyedMutexState> state) : state_(std::move(state)) {}

    // Key 0 is free unless a consumer holds it; waits up to `milliseconds` for it. A fault
    // with the code WAIT_ABANDONED (0x80) stands for a holder that ended without releasing it.
    HRESULT STDMETHODCALLTYPE AcquireSync(UINT64 key, DWORD milliseconds) override {
        CallResult call = enter("IDXGIKeyedMutex::AcquireSync");
        if (call.outcome == Outcome::Fail) return call.hresult;
        if (key != 0) return E_INVALIDARG;
        std::unique_lock lock(state_->mutex);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= state_->consumer_holds_until) return S_OK;
            if (now >= limit) return WAIT_TIMEOUT;
            state_->released.wait_until(lock, std::min(limit, state_->consumer_holds_until));
        }
    }

    HRESULT STDMETHODCALLTYPE ReleaseSync(UINT64 key) override {
        CallResult call = enter("IDXGIKeyedMutex::ReleaseSync");
        if (call.outcome == Outcome::Fail) return call.hresult;
        return key == 0 ? S_OK : E_INVALIDARG;
    }

protected:
    const char* trace_name() const override { return "IDXGIKeyedMutex"; }

private:
    std::shared_ptr<KeyedMutexState> state_;
};

class SharedResource final : public posix::ComObject<IDXGIResource1, IDXGIResource, IDXGIDeviceSubObject, IDXGIObject> {
public:
    explicit SharedResource(ComPtr<ID3D11Texture2D> texture) : texture_(std::move(texture)) {}

    HRESULT STDMETHODCALLTYPE CreateSharedHandle(const SECURITY_ATTRIBUTES*, DWORD, LPCWSTR, HANDLE* handle) override {
        *handle = nullptr;
        CallResult call = enter("IDXGIResource1::CreateSharedHandle");
        if (call.outcome == Outcome::Fail) return call.hresult;
        *handle = open_handle(texture_);
        return S_OK;
    }

protected:
    const char* trace_name() const override { return "IDXGIResource1"; }

private:
    ComPtr<ID3D11Texture2D> texture_;
};

// Answers a query through the fault switch of "QueryInterface(<name>)".
template <class Make>
HRESULT faultable_query(const char* operation, void** object, Make make) {
    CallResult call = enter(operation);
    if (call.outcome == Outcome::Fail) return call.hresult;
    if (call.outcome == Outcome::Null) return S_OK;
    *object = make();
    return S_OK;
}

}  // namespace

HRESULT Texture::query_other(REFIID riid, void** object) {
    if (!shareable()) return E_NOINTERFACE;
    if (riid == iid_of<IDXGIKeyedMutex>())
        return faultable_query("QueryInterface(IDXGIKeyedMutex)", object,
                               [this] { return static_cast<IDXGIKeyedMutex*>(new KeyedMutex(keyed_mutex_)); });
    if (riid == iid_of<IDXGIResource1>())
        return faultable_query("QueryInterface(IDXGIResource1)", object, [this] {
            AddRef();
            return static_cast<IDXGIResource1*>(
                new SharedResource(ComPtr<ID3D11Texture2D>::adopt(static_cast<ID3D11Texture2D*>(this))));
        });
    return E_NOINTERFACE;
}

std::vector<std::uint8_t> read_shared(std::uintptr_t handle) {
    ComPtr<ID3D11Texture2D> texture = texture_of(handle);
    if (!texture) return {};
    SurfacePtr content = static_cast<Texture*>(texture.get())->content();
    if (!content) {
        D3D11_TEXTURE2D_DESC desc{};
        texture->GetDesc(&desc);
        return std::vector<std::uint8_t>(std::size_t{desc.Width} * desc.Height * 4, 0);
    }
    return packed(*content);
}

bool hold_shared(std::uintptr_t handle, std::uint32_t milliseconds) {
    ComPtr<ID3D11Texture2D> texture = texture_of(handle);
    if (!texture) return false;
    auto& state = static_cast<Texture*>(texture.get())->keyed_mutex();
    {
        std::lock_guard lock(state->mutex);
        state->consumer_holds_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    }
    state->released.notify_all();
    return true;
}

std::size_t open_handles() {
    HandleTable& t = table();
    std::lock_guard lock(t.mutex);
    return t.handles.size();
}

}  // namespace vistrel::sim

namespace vistrel::provider {

void* duplicate_handle(void* source, unsigned& error) {
    sim::CallResult call = sim::enter("DuplicateHandle");
    if (call.outcome != sim::Outcome::Proceed) {
        // The fault's code stands for the Win32 error (its low 16 bits).
        error = static_cast<unsigned>(call.hresult) & 0xFFFFu;
        return nullptr;
    }
    ComPtr<ID3D11Texture2D> texture = sim::texture_of(reinterpret_cast<std::uintptr_t>(source));
    if (!texture) {
        error = 6;  // ERROR_INVALID_HANDLE
        return nullptr;
    }
    return sim::open_handle(std::move(texture));
}

void close_handle(void* handle) {
    sim::record("CloseHandle");
    ComPtr<ID3D11Texture2D> released;  // released outside the table's lock
    sim::HandleTable& t = sim::table();
    std::lock_guard lock(t.mutex);
    auto it = t.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.handles.end()) return;
    released = std::move(it->second);
    t.handles.erase(it);
    sim::adjust_live_objects(-1);
}

}  // namespace vistrel::provider
