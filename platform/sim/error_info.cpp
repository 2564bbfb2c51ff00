#include "platform/sim/error_info.h"

#include "platform/posix/com_object.h"

namespace vistrel::sim {
namespace {

BSTR alloc_optional(const std::optional<std::u16string>& text) {
    if (!text) return nullptr;
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text->data()), static_cast<UINT>(text->size()));
}

class ErrorInfo final : public posix::ComObject<IErrorInfo>, public IRestrictedErrorInfo {
public:
    ErrorInfo(std::optional<std::u16string> description, std::optional<std::u16string> restricted)
        : description_(std::move(description)), restricted_(std::move(restricted)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return posix::ComObject<IErrorInfo>::QueryInterface(riid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return posix::ComObject<IErrorInfo>::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return posix::ComObject<IErrorInfo>::Release(); }

    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) override {
        *description = alloc_optional(description_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error, BSTR* restricted,
                                              BSTR* capability_sid) override {
        *description = alloc_optional(description_);
        *error = E_FAIL;
        *restricted = alloc_optional(restricted_);
        *capability_sid = nullptr;
        return S_OK;
    }

protected:
    HRESULT query_other(REFIID riid, void** object) override {
        if (!restricted_ || !(riid == iid_of<IRestrictedErrorInfo>())) return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IRestrictedErrorInfo*>(this);
        return S_OK;
    }

private:
    std::optional<std::u16string> description_;
    std::optional<std::u16string> restricted_;
};

thread_local ComPtr<IErrorInfo> t_error_info;

}  // namespace

ComPtr<IErrorInfo> make_error_info(const std::optional<std::u16string>& description,
                                   const std::optional<std::u16string>& restricted_description) {
    return ComPtr<IErrorInfo>::adopt(new ErrorInfo(description, restricted_description));
}

void set_thread_error_info(IErrorInfo* info) {
    if (info) info->AddRef();
    t_error_info = ComPtr<IErrorInfo>::adopt(info);
}

}  // namespace vistrel::sim

HRESULT GetErrorInfo(ULONG, IErrorInfo** error_info) {
    *error_info = vistrel::sim::t_error_info.release();
    return *error_info ? S_OK : S_FALSE;
}
