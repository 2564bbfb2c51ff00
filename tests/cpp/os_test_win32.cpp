// The os tests' helpers on Windows: an event handle and oleaut32's error information.
#include "platform/com_ptr.h"
#include "tests/cpp/os_test_support.h"

namespace vistrel::test {

os::KernelHandle open_test_handle() { return os::KernelHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr)); }

bool handle_is_open(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

void set_thread_error_description(const std::u16string& description) {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.put()))) return;
    std::wstring text(description.begin(), description.end());
    create->SetDescription(text.data());
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.query(info))) SetErrorInfo(0, info.get());
}

}  // namespace vistrel::test
