// The platform-independent half of the message texts: taking the thread's COM error
// information and reading its description. Only the fallback to the system's own text
// differs per platform.
#include <optional>
#include <string>

#include "platform/os.h"
#include "platform/utf16.h"

namespace vistrel::os {
namespace {

// Frees a BSTR that the platform handed out, whoever ends up not keeping it.
class OwnedBstr {
public:
    OwnedBstr() = default;
    OwnedBstr(const OwnedBstr&) = delete;
    OwnedBstr& operator=(const OwnedBstr&) = delete;
    ~OwnedBstr() {
        if (text_) SysFreeString(text_);
    }
    BSTR* put() { return &text_; }
    bool empty() const { return text_ == nullptr || SysStringLen(text_) == 0; }
    std::u16string text() const {
        if (!text_) return {};
        return {reinterpret_cast<const char16_t*>(text_), SysStringLen(text_)};
    }

private:
    BSTR text_ = nullptr;
};

// The description the error information carries, preferring the restricted one.
// nullopt when there was no string at all.
std::optional<std::u16string> error_info_description(IErrorInfo* info) {
    ComPtr<IRestrictedErrorInfo> restricted;
    if (SUCCEEDED(info->QueryInterface(iid_of<IRestrictedErrorInfo>(), restricted.put_void())) && restricted) {
        OwnedBstr description, restricted_description, capability_sid;
        HRESULT error = S_OK;
        if (SUCCEEDED(restricted->GetErrorDetails(description.put(), &error, restricted_description.put(),
                                                  capability_sid.put()))) {
            if (!restricted_description.empty()) return restricted_description.text();
            if (!description.empty()) return description.text();
        }
    }
    OwnedBstr description;
    if (FAILED(info->GetDescription(description.put()))) return std::nullopt;
    return description.text();
}

}  // namespace

// GetErrorInfo is the COM surface's (the SDK's or the provider's), so this is the same
// on every platform.
ComPtr<IErrorInfo> take_error_info() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK) info.reset();
    return info;
}

std::string system_message_text(HRESULT code, IErrorInfo* error_info) {
    if (error_info) {
        if (auto description = error_info_description(error_info)) {
            detail::strip_trailing_space(*description);
            // Text that is not valid UTF-16 is not worth reporting: use the system's.
            if (auto text = utf16_to_utf8_strict(*description)) return *text;
        }
    }
    return detail::system_text_for(code);
}

}  // namespace vistrel::os
