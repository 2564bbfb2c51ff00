// The os tests' helpers on the simulated machine: a shared texture's NT handle and the
// machine's error information.
#include "duplication/device.h"
#include "duplication/shared_texture.h"
#include "platform/sim/error_info.h"
#include "platform/sim/machine.h"
#include "tests/cpp/os_test_support.h"

namespace vistrel::test {

os::KernelHandle open_test_handle() {
    auto session = DuplicationSession::open(0, 0, false);
    if (!session || !ensure_shared_texture(session.value())) return {};
    ComPtr<IDXGIResource1> resource;
    HANDLE handle = nullptr;
    if (FAILED(session->shared.texture.query(resource)) ||
        FAILED(resource->CreateSharedHandle(nullptr, DXGI_SHARED_RESOURCE_READ, nullptr, &handle)))
        return {};
    return os::KernelHandle(handle);
}

bool handle_is_open(HANDLE handle) { return !sim::read_shared(reinterpret_cast<std::uintptr_t>(handle)).empty(); }

void set_thread_error_description(const std::u16string& description) {
    sim::set_thread_error_info(sim::make_error_info(description, std::nullopt).get());
}

}  // namespace vistrel::test
