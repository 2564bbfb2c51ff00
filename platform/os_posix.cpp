// os services on non-Windows systems: POSIX primitives, with the provider consulted
// for the calls that a test can make fail.
#include <cstdint>
#include <string>

#include "platform/os.h"
#include "platform/provider.h"

namespace vistrel::os {

ComPtr<IErrorInfo> take_error_info() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK) info.reset();
    return info;
}

void discard_last_error() {}

bool set_process_dpi_awareness() { return !provider::os_call_fails("SetProcessDpiAwarenessContext"); }

namespace detail {

// The system's texts for the codes this module meets, as FormatMessageW gives them.
std::string system_text_for(HRESULT code) {
    struct Entry {
        std::uint32_t code;
        const char* text;
    };
    static constexpr Entry kTexts[] = {
        {0x00000000u, "The operation completed successfully.\r\n"},
        {0x80004001u, "Not implemented\r\n"},
        {0x80004002u, "No such interface supported\r\n"},
        {0x80004003u, "Invalid pointer\r\n"},
        {0x80004005u, "Unspecified error\r\n"},
        {0x8000FFFFu, "Catastrophic failure\r\n"},
        {0x80070005u, "Access is denied.\r\n"},
        {0x80070006u, "The handle is invalid.\r\n"},
        {0x8007000Eu, "Not enough memory resources are available to complete this operation.\r\n"},
        {0x80070057u, "The parameter is incorrect.\r\n"},
        {0x887A0001u,
         "The application made a call that is invalid. Either the parameters of the call or the "
         "state of some object was incorrect.\r\nEnable the D3D debug layer in order to see "
         "details via debug messages.\r\n"},
        {0x887A0002u,
         "Object not found. If calling IDXGIFactory::EnumAdaptes, there is no adapter with the "
         "specified ordinal.\r\n"},
        {0x887A0003u, "The caller did not supply a sufficiently large buffer.\r\n"},
        {0x887A0004u, "The specified device interface or feature level is not supported on this system.\r\n"},
        {0x887A0005u,
         "The GPU device instance has been suspended. Use GetDeviceRemovedReason to determine the "
         "appropriate action.\r\n"},
        {0x887A0006u,
         "The GPU will not respond to more commands, most likely because of an invalid command "
         "passed by the calling application.\r\n"},
        {0x887A0007u,
         "The GPU will not respond to more commands, most likely because some other application "
         "submitted invalid commands.\r\nThe calling application should re-create the device and "
         "continue.\r\n"},
        {0x887A000Au,
         "The GPU was busy at the moment when the call was made, and the call was neither executed "
         "nor scheduled.\r\n"},
        {0x887A0022u, "The requested functionality is not supported by the device or the driver.\r\n"},
        {0x887A0026u,
         "The desktop duplication interface is invalid. The desktop duplication interface typically "
         "becomes invalid when a different type of image is displayed on the desktop.\r\n"},
        {0x887A0027u, "The time-out interval elapsed before the next desktop frame was available.\r\n"},
        {0x887A0028u, "The Remote Desktop Services session is currently disconnected.\r\n"},
        {0x887A002Bu,
         "You tried to use a resource to which you did not have the required access privileges. "
         "This error is most typically caused when you write to a shared resource with read-only "
         "access.\r\n"},
    };
    for (const Entry& e : kTexts) {
        if (e.code == static_cast<std::uint32_t>(code)) {
            std::string text = e.text;
            strip_trailing_space(text);
            return text;
        }
    }
    return {};
}

}  // namespace detail
}  // namespace vistrel::os
