// The reference counting and interface queries every simulated COM object shares.
#pragma once

#include <atomic>
#include <string>

#include "platform/com_ptr.h"
#include "platform/sim/machine.h"

namespace vistrel::sim {

// `Interface` is the most derived interface the object implements; `Bases` the ones
// it answers QueryInterface for besides it (IUnknown always). A query for an interface
// listed with a fault name goes through enter("QueryInterface(Name)").
template <class Interface, class... Bases>
class ComObject : public Interface, private Counted {
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
            if (const char* name = trace_name()) record(std::string("Release(") + name + ")");
            delete this;
        }
        return left;
    }

protected:
    virtual ~ComObject() = default;
    // The interface name traced as "Release(Name)" when the last reference goes; none
    // for objects whose release is not worth tracing.
    virtual const char* trace_name() const { return nullptr; }
    // Interfaces beyond the chain (for example an output's IDXGIOutput1).
    virtual HRESULT query_other(REFIID, void**) { return E_NOINTERFACE; }

private:
    std::atomic<ULONG> references_{1};
};


}  // namespace vistrel::sim
