// The reference counting and interface queries every COM object of a non-Windows
// provider shares. Objects are counted and their final release traced through the
// test hooks, so a test machine sees what leaks.
#pragma once

#include <atomic>

#include "platform/com_ptr.h"
#include "platform/test_hooks.h"

namespace vistrel::posix {

// `Interface` is the most derived interface the object implements; `Bases` the ones
// it answers QueryInterface for besides it (IUnknown always).
template <class Interface, class... Bases>
class ComObject : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid == iid_of<Interface>() || riid == iid_of<IUnknown>() || ((riid == iid_of<Bases>()) || ...)) {
            AddRef();
            *object = static_cast<Interface*>(this);
            return S_OK;
        }
        return query_other(riid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) {
            if (const char* name = trace_name()) test_hooks::released(name);
            delete this;
        }
        return left;
    }

protected:
    ComObject() { test_hooks::live_object(+1); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;
    virtual ~ComObject() { test_hooks::live_object(-1); }
    // The interface name traced as "Release(Name)" when the last reference goes; none
    // for objects whose release is not worth tracing.
    virtual const char* trace_name() const { return nullptr; }
    // Interfaces beyond the chain (for example an output's IDXGIOutput1).
    virtual HRESULT query_other(REFIID, void**) { return E_NOINTERFACE; }

private:
    std::atomic<ULONG> references_{1};
};

}  // namespace vistrel::posix
