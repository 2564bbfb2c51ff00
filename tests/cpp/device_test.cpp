// DuplicationSession::open: the call sequence, its arguments, every row of the failure
// table, and the warm-up.
#include "duplication/device.h"

#include <chrono>

#include "tests/cpp/sim_test.h"

namespace vistrel {
namespace {

using test::SimTest;

class OpenTest : public SimTest {
protected:
    // The failure of an open that must fail.
    static Failure open_failure(std::uint32_t device = 0, std::uint32_t output = 0,
                                std::u16string_view same_output = {}) {
        auto session = DuplicationSession::open(device, output, true, same_output);
        EXPECT_FALSE(session.ok());
        if (session.ok()) return Failure::described("<opened>");
        return session.take_failure();
    }
    static void expect_hresult(Failure f, std::uint32_t code) {
        EXPECT_EQ(f.kind(), Failure::Kind::Hresult);
        EXPECT_EQ(f.code(), code);
    }
    static void expect_text(Failure f, Failure::Kind kind, const std::string& text) {
        EXPECT_EQ(f.kind(), kind);
        EXPECT_EQ(f.text(), text);
    }
};

TEST_F(OpenTest, CallsInOrderWithExactArguments) {
    sim::trace(true);
    auto session = DuplicationSession::open(0, 0, true);
    ASSERT_TRUE(session.ok());
    EXPECT_EQ(calls(),
              (std::vector<std::string>{"CreateDXGIFactory1", "IDXGIFactory1::EnumAdapters1", "IDXGIAdapter1::GetDesc1",
                                        "D3D11CreateDevice", "IDXGIAdapter::EnumOutputs", "IDXGIOutput::GetDesc",
                                        "QueryInterface(IDXGIOutput1)", "IDXGIOutput1::DuplicateOutput",
                                        "IDXGIOutputDuplication::GetDesc", "ID3D11Device::CreateTexture2D",
                                        "ID3D11Device::CreateTexture2D",
                                        // warm-up: the pending first frame, then a 50 ms wait that times out
                                        "IDXGIOutputDuplication::AcquireNextFrame", "QueryInterface(ID3D11Texture2D)",
                                        "ID3D11DeviceContext::CopyResource", "IDXGIOutputDuplication::ReleaseFrame",
                                        "IDXGIOutputDuplication::AcquireNextFrame"}));

    sim::CreateDeviceCall call = sim::last_create_device_call();
    EXPECT_EQ(call.driver_type, 0);
    EXPECT_FALSE(call.software);
    EXPECT_EQ(call.flags, 0x20u);
    EXPECT_EQ(call.feature_levels, std::vector<int>{0xb000});
    EXPECT_EQ(call.sdk_version, 7u);
    EXPECT_FALSE(call.wants_feature_level);

    D3D11_TEXTURE2D_DESC copy{}, staging{};
    session->gpu_copy->GetDesc(&copy);
    session->staging->GetDesc(&staging);
    EXPECT_EQ(copy.Width, 1920u);
    EXPECT_EQ(copy.Height, 1080u);
    EXPECT_EQ(copy.MipLevels, 1u);
    EXPECT_EQ(copy.ArraySize, 1u);
    EXPECT_EQ(copy.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
    EXPECT_EQ(copy.SampleDesc.Count, 1u);
    EXPECT_EQ(copy.SampleDesc.Quality, 0u);
    EXPECT_EQ(copy.Usage, D3D11_USAGE_DEFAULT);
    EXPECT_EQ(copy.BindFlags, 0x28u);
    EXPECT_EQ(copy.CPUAccessFlags, 0u);
    EXPECT_EQ(copy.MiscFlags, 0u);
    EXPECT_EQ(staging.Width, 1920u);
    EXPECT_EQ(staging.Usage, D3D11_USAGE_STAGING);
    EXPECT_EQ(staging.BindFlags, 0u);
    EXPECT_EQ(staging.CPUAccessFlags, 0x20000u);
    EXPECT_EQ(staging.MiscFlags, 0u);

    EXPECT_EQ(session->width, 1920u);
    EXPECT_EQ(session->height, 1080u);
    EXPECT_EQ(session->rotation, 1u);
    EXPECT_EQ(session->adapter_luid.LowPart, 0x1000u);
    // Filled on demand: zeroing a frame's worth at opening cost a one-shot capture 4 ms.
    EXPECT_TRUE(session->frame_buffer.empty());
    EXPECT_TRUE(session->cursor_enabled);

    // Releasing the session releases what it holds, device first.
    session = Failure::closed();
    auto released = releases(sim::trace(true));
    ASSERT_GE(released.size(), 6u);
    EXPECT_EQ(released[0], "Release(ID3D11Device)");
    EXPECT_EQ(released[1], "Release(ID3D11DeviceContext)");
    EXPECT_EQ(released[2], "Release(IDXGIOutput1)");
    EXPECT_EQ(released[3], "Release(IDXGIOutputDuplication)");
    EXPECT_EQ(released[4], "Release(ID3D11Texture2D)");
    EXPECT_EQ(released[5], "Release(ID3D11Texture2D)");
}

TEST_F(OpenTest, SizesAreTheDuplicationsMode) {
    sim::MachineConfig machine = sim::MachineConfig::default_machine();
    machine.adapters[0].outputs[0].mode = std::make_pair(2560u, 1440u);
    machine.adapters[0].outputs[0].rotation = 2;
    reset(machine);
    auto session = DuplicationSession::open(0, 0, false);
    ASSERT_TRUE(session.ok());
    D3D11_TEXTURE2D_DESC copy{}, staging{};
    session->gpu_copy->GetDesc(&copy);
    session->staging->GetDesc(&staging);
    EXPECT_EQ(copy.Width, 2560u);
    EXPECT_EQ(copy.Height, 1440u);
    EXPECT_EQ(staging.Width, 2560u);
    EXPECT_EQ(staging.Height, 1440u);
    EXPECT_EQ(session->rotation, 2u);
}

TEST_F(OpenTest, FactoryAndAdapterFailures) {
    fail("CreateDXGIFactory1", DXGI_ERROR_UNSUPPORTED);
    expect_hresult(open_failure(), 0x887A0004u);
    fail_null("CreateDXGIFactory1");
    expect_hresult(open_failure(), 0);

    expect_text(open_failure(1), Failure::Kind::BadValue, "device index 1 out of range");
    fail("IDXGIFactory1::EnumAdapters1", E_FAIL);
    expect_text(open_failure(), Failure::Kind::BadValue, "device index 0 out of range");
    fail_null("IDXGIFactory1::EnumAdapters1");
    expect_text(open_failure(), Failure::Kind::BadValue, "device index 0 out of range");

    fail("IDXGIAdapter1::GetDesc1", DXGI_ERROR_DEVICE_REMOVED);
    expect_hresult(open_failure(), 0x887A0005u);
}

TEST_F(OpenTest, DeviceCreationFailures) {
    fail("D3D11CreateDevice", E_INVALIDARG);
    expect_hresult(open_failure(), 0x80070057u);
    fail_null("D3D11CreateDevice");
    expect_text(open_failure(), Failure::Kind::Described, "D3D11CreateDevice returned no device");
    fail_null("D3D11CreateDevice:context");
    expect_text(open_failure(), Failure::Kind::Described, "D3D11CreateDevice returned no context");

    sim::MachineConfig machine = sim::MachineConfig::default_machine();
    machine.adapters[0].feature_level_11_0 = false;
    reset(machine);
    expect_hresult(open_failure(), 0x887A0004u);
}

TEST_F(OpenTest, OutputFailures) {
    expect_text(open_failure(0, 1), Failure::Kind::BadValue, "output index 1 out of range (HRESULT 0x887A0002)");
    fail("IDXGIAdapter::EnumOutputs", E_ACCESSDENIED);
    expect_text(open_failure(), Failure::Kind::BadValue, "output index 0 out of range (HRESULT 0x80070005)");
    fail_null("IDXGIAdapter::EnumOutputs");
    expect_text(open_failure(), Failure::Kind::BadValue, "output index 0 out of range (HRESULT 0x00000000)");

    fail("IDXGIOutput::GetDesc", E_FAIL);
    expect_hresult(open_failure(), 0x80004005u);
    fail("QueryInterface(IDXGIOutput1)", E_NOINTERFACE);
    expect_hresult(open_failure(), 0x80004002u);
    fail_null("QueryInterface(IDXGIOutput1)");
    expect_hresult(open_failure(), 0x80004003u);
}

TEST_F(OpenTest, DuplicationAndTextureFailures) {
    fail("IDXGIOutput1::DuplicateOutput", DXGI_ERROR_NOT_CURRENTLY_AVAILABLE);
    expect_hresult(open_failure(), 0x887A0022u);
    fail_null("IDXGIOutput1::DuplicateOutput");
    expect_hresult(open_failure(), 0);
    for (int which = 0; which < 2; ++which) {
        fail("ID3D11Device::CreateTexture2D", E_OUTOFMEMORY, which);
        expect_hresult(open_failure(), 0x8007000Eu);
        fail_null("ID3D11Device::CreateTexture2D", which);
        expect_hresult(open_failure(), 0);
    }
}

TEST_F(OpenTest, FailuresCarryTheirErrorInformation) {
    sim::Fault fault;
    fault.hresult = DXGI_ERROR_ACCESS_DENIED;
    fault.description = u"Protected content.";
    fail("IDXGIOutput1::DuplicateOutput", fault);
    Failure f = open_failure();
    EXPECT_EQ(f.code(), 0x887A002Bu);
    EXPECT_NE(f.error_info(), nullptr);
    // A failure reported as text drops its error information.
    fault.description = u"unused";
    fail("IDXGIFactory1::EnumAdapters1", fault);
    EXPECT_EQ(open_failure().error_info(), nullptr);
}

TEST_F(OpenTest, WarmUpWaitsTwiceAndNeverFails) {
    auto started = std::chrono::steady_clock::now();
    auto session = DuplicationSession::open(0, 0, true);
    auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(session.ok());
    // The first acquisition takes the pending frame; the second waits its 50 ms out.
    EXPECT_GE(took, std::chrono::milliseconds(50));
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    session = Failure::closed();

    // Both acquisitions failing, and the re-creation failing too: open still succeeds.
    fail("IDXGIOutputDuplication::AcquireNextFrame", DXGI_ERROR_ACCESS_LOST, 0, 2);
    fail("IDXGIOutput1::DuplicateOutput", E_FAIL, 1, -1);
    auto warm_failed = DuplicationSession::open(0, 0, true);
    EXPECT_TRUE(warm_failed.ok());
}

TEST_F(OpenTest, CursorStateAfterWarmUp) {
    sim::PointerUpdate pointer;
    pointer.x = 100;
    pointer.y = 200;
    pointer.shape = sim::PointerShape{2, 4, 4, 16, 1, 1, std::vector<std::uint8_t>(64, 0xFF)};
    sim::present(0, 0, nullptr, &pointer);

    {
        auto without = DuplicationSession::open(0, 0, false);
        ASSERT_TRUE(without.ok());
        EXPECT_FALSE(without->cursor.shape);
        EXPECT_FALSE(without->cursor.visible);
        EXPECT_EQ(without->cursor.position_x, 0);
        EXPECT_EQ(without->last_present_time, 0);
    }

    auto with = DuplicationSession::open(0, 0, true);
    ASSERT_TRUE(with.ok());
    ASSERT_TRUE(with->cursor.shape);
    EXPECT_EQ(with->cursor.shape_type, 2u);
    EXPECT_TRUE(with->cursor.visible);
    EXPECT_EQ(with->cursor.position_x, 100);
    EXPECT_EQ(with->cursor.position_y, 200);
    EXPECT_NE(with->last_present_time, 0);
}

// Windows gives a process one duplication of an output: a second session is refused
// with a reason a user can act on, and leaves nothing behind.
TEST_F(OpenTest, OneSessionPerOutput) {
    auto first = DuplicationSession::open(0, 0, true);
    ASSERT_TRUE(first.ok());
    const long live = sim::live_objects();
    auto second = open_failure();
    EXPECT_EQ(second.kind(), Failure::Kind::Hresult);
    EXPECT_EQ(second.code(), 0x80070057u);
    EXPECT_NE(second.text().find("already captured in this process"), std::string::npos);
    EXPECT_EQ(sim::live_objects(), live);
    first = Failure::closed();  // released: the output can be captured again
    EXPECT_TRUE(DuplicationSession::open(0, 0, true).ok());
}

// Outputs are numbered anew when the primary moves or one is added: a session opened for
// a named output is that output wherever it now is, or lost, never its neighbour.
TEST_F(OpenTest, ANamedOutputIsFoundWhereverItIsNumbered) {
    sim::MachineConfig machine = sim::MachineConfig::default_machine();
    sim::OutputConfig second = machine.adapters[0].outputs[0];
    second.device_name = u"\\\\.\\DISPLAY2";
    second.width = 1280;
    second.height = 720;
    machine.adapters[0].outputs.insert(machine.adapters[0].outputs.begin(), second);
    reset(machine);
    auto moved = DuplicationSession::open(0, 0, false, u"\\\\.\\DISPLAY1");
    ASSERT_TRUE(moved.ok());
    EXPECT_EQ(moved->output_index, 1u);
    EXPECT_EQ(moved->output_name, u"\\\\.\\DISPLAY1");
    EXPECT_EQ(moved->width, 1920u);
    moved = Failure::closed();
    const long live = sim::live_objects();
    Failure gone = open_failure(0, 0, u"\\\\.\\DISPLAY3");
    expect_hresult(std::move(gone), 0x887A0026);
    EXPECT_EQ(sim::live_objects(), live);
}

}  // namespace
}  // namespace vistrel
