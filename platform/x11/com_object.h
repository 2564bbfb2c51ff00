// Reference counting and interface queries shared by the provider's COM objects.
#pragma once

#include <atomic>

#include "platform/com_ptr.h"

namespace vistrel::x11 {

// `Interface` is the most derived interface implemented; `Bases` the others it answers
// QueryInterface for (IUnknown always).
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
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~ComObject() = default;
    virtual HRESULT query_other(REFIID, void**) { return E_NOINTERFACE; }

private:
    std::atomic<ULONG> references_{1};
};

}  // namespace vistrel::x11
