// The fault switches of the simulated machine: a name no simulated call consults is
// refused, so a misspelt fault cannot let a test pass without its failure.
#include <algorithm>

#include "duplication/frame.h"
#include "tests/cpp/sim_test.h"

namespace vistrel {
namespace {

using FaultNames = test::SimTest;

TEST_F(FaultNames, UnknownNamesAreRefusedAndArmNothing) {
    for (const char* name : {"", "CreateDXGIFactory", "createdxgifactory1", "IDXGIOutput1::DuplicateOutput ",
                             "ID3D11DeviceContext::Unmap", "Release(ID3D11Device)", "CloseHandle"}) {
        sim::Fault fault;
        fault.times = -1;
        EXPECT_FALSE(sim::fail(name, fault)) << '"' << name << '"';
    }
    // Nothing was armed under a near name: the open succeeds.
    auto session = DuplicationSession::open(0, 0, true);
    EXPECT_TRUE(session.ok());
}

TEST_F(FaultNames, EveryListedNameCanBeArmed) {
    const auto& names = sim::failable_operations();
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    for (const char* documented : {"CreateDXGIFactory1",
                                   "IDXGIFactory1::EnumAdapters1",
                                   "IDXGIAdapter1::GetDesc1",
                                   "D3D11CreateDevice",
                                   "D3D11CreateDevice:context",
                                   "IDXGIAdapter::EnumOutputs",
                                   "IDXGIOutput::GetDesc",
                                   "QueryInterface(IDXGIOutput1)",
                                   "IDXGIOutput1::DuplicateOutput",
                                   "ID3D11Device::CreateTexture2D",
                                   "IDXGIOutputDuplication::AcquireNextFrame",
                                   "QueryInterface(ID3D11Texture2D)",
                                   "IDXGIOutputDuplication::ReleaseFrame",
                                   "ID3D11DeviceContext::Map",
                                   "IDXGIOutputDuplication::GetFramePointerShape",
                                   "GetCursorInfo",
                                   "QueryInterface(IDXGIKeyedMutex)",
                                   "QueryInterface(IDXGIResource1)",
                                   "IDXGIResource1::CreateSharedHandle",
                                   "IDXGIKeyedMutex::AcquireSync",
                                   "IDXGIKeyedMutex::ReleaseSync",
                                   "DuplicateHandle",
                                   "CreateEventW",
                                   "CreateThread",
                                   "CreateWaitableTimerExW",
                                   "SetWaitableTimer",
                                   "SetProcessDpiAwarenessContext"}) {
        EXPECT_TRUE(std::binary_search(names.begin(), names.end(), std::string_view(documented))) << documented;
    }
    for (std::string_view name : names) EXPECT_TRUE(sim::fail(std::string(name), sim::Fault{})) << name;
}

// Every call the core makes while opening and reading is either one that can be made
// to fail or one of the few that cannot (which are only traced).
TEST_F(FaultNames, TracedCallsAreFailableOrNeverFail) {
    const auto& names = sim::failable_operations();
    sim::trace(true);
    {
        auto session = DuplicationSession::open(0, 0, true);
        ASSERT_TRUE(session.ok());
        std::vector<std::uint8_t> image(std::size_t{1920} * 1080 * 4, 5);
        sim::present(0, 0, &image, nullptr);
        ASSERT_TRUE(acquire_frame(session.value(), 100).ok());
        std::uint8_t pixel[4];
        ASSERT_TRUE(read_region(session.value(), 0, 0, 1, 1, pixel, sizeof pixel).ok());
    }
    for (const std::string& call : sim::trace(true)) {
        if (call.rfind("Release(", 0) == 0) continue;
        const bool never_fails = call == "IDXGIOutputDuplication::GetDesc" ||
                                 call == "ID3D11DeviceContext::CopyResource" || call == "ID3D11DeviceContext::Unmap";
        EXPECT_TRUE(never_fails || std::binary_search(names.begin(), names.end(), std::string_view(call))) << call;
    }
}

TEST(FaultNamesDeathTest, ACallSiteOutsideTheTableStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH((void)sim::enter("IDXGIOutput::NotARealCall"),
                 "\"IDXGIOutput::NotARealCall\" is missing from the failable operations");
}

}  // namespace
}  // namespace vistrel
