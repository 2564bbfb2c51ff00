// ComPtr: the one owning reference to a COM object, real or simulated. Every
// interface the core obtains lives in one of these; nothing calls Release() by hand.
#pragma once

#include <utility>

#include "platform/dxgi.h"

namespace vistrel {

template <class T>
const IID& iid_of() {
#ifdef VISTREL_WINDOWS_SDK
    return __uuidof(T);
#else
    return T::kIid;
#endif
}

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes over a reference the caller already owns.
    static ComPtr adopt(T* raw) {
        ComPtr p;
        p.ptr_ = raw;
        return p;
    }

    ComPtr(const ComPtr& other) : ptr_(other.ptr_) {
        if (ptr_) ptr_->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~ComPtr() { reset(); }

    void reset() {
        if (T* p = std::exchange(ptr_, nullptr)) p->Release();
    }
    // For out-parameters: drops what is held and hands out the slot.
    T** put() {
        reset();
        return &ptr_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    T* release() { return std::exchange(ptr_, nullptr); }

    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

    // QueryInterface into `out`; returns the call's HRESULT (out may stay empty on success).
    template <class U>
    HRESULT query(ComPtr<U>& out) const {
        return ptr_->QueryInterface(iid_of<U>(), out.put_void());
    }

private:
    T* ptr_ = nullptr;
};

}  // namespace vistrel
