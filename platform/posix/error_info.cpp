#include "platform/posix/error_info.h"

#include <cstdint>

#include "platform/posix/com_object.h"

namespace vistrel::posix {
namespace {

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string widen(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::uint32_t code = 0xFFFD;
        std::size_t length = 1;
        if (byte < 0x80) {
            code = byte;
        } else {
            length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            if (length > 1 && i + length <= text.size()) {
                code = byte & (0x7F >> length);
                for (std::size_t k = 1; k < length; ++k) {
                    const auto next = static_cast<unsigned char>(text[i + k]);
                    if ((next & 0xC0) != 0x80) {
                        code = 0xFFFD;
                        length = k;
                        break;
                    }
                    code = (code << 6) | (next & 0x3F);
                }
            } else {
                length = 1;
            }
        }
        if (code >= 0x10000 && code <= 0x10FFFF) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code > 0x10FFFF ? 0xFFFD : code));
        }
        i += length;
    }
    return out;
}

class ErrorInfo final : public ComObject<IErrorInfo> {
public:
    explicit ErrorInfo(std::u16string text) : text_(std::move(text)) {}
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) override {
        *description =
            SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text_.data()), static_cast<UINT>(text_.size()));
        return S_OK;
    }

private:
    std::u16string text_;
};

thread_local ComPtr<IErrorInfo> t_error_info;

}  // namespace

HRESULT fail_with(HRESULT code, const std::string& text) {
    t_error_info = ComPtr<IErrorInfo>::adopt(new ErrorInfo(widen(text)));
    return code;
}

}  // namespace vistrel::posix

HRESULT GetErrorInfo(ULONG, IErrorInfo** error_info) {
    *error_info = vistrel::posix::t_error_info.release();
    return *error_info ? S_OK : S_FALSE;
}
