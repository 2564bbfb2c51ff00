// acquire_frame's outcomes and healing, and read_region's strides.
#include "duplication/frame.h"

#include <algorithm>
#include <cstring>

#include "tests/cpp/sim_test.h"

namespace vistrel {
namespace {

class FrameTest : public test::SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        open();
        sim::trace(true);
    }

    static std::vector<std::uint8_t> solid(std::uint8_t value, std::uint32_t w = 1920, std::uint32_t h = 1080) {
        return std::vector<std::uint8_t>(std::size_t{w} * h * 4, value);
    }
    std::vector<std::uint8_t> read_all() {
        std::vector<std::uint8_t> out(std::size_t{session_->width} * session_->height * 4);
        EXPECT_TRUE(read_region(*session_, 0, 0, session_->width, session_->height, out.data(), out.size()).ok());
        return out;
    }
    // Whether the calls since the last trace read copied a texture.
    static bool copied() {
        const auto made = calls();
        return std::find(made.begin(), made.end(), "ID3D11DeviceContext::CopyResource") != made.end();
    }
    Acquired acquire(std::uint32_t timeout_ms = 0) {
        auto result = acquire_frame(*session_, timeout_ms);
        EXPECT_TRUE(result.ok());
        return result.ok() ? result.value() : Acquired::NoNewFrame;
    }
};

TEST_F(FrameTest, TimeoutChangesNothing) {
    IDXGIOutputDuplication* before = session_->duplication.get();
    auto image = read_all();
    EXPECT_EQ(acquire(10), Acquired::NoNewFrame);
    EXPECT_EQ(session_->duplication.get(), before);
    EXPECT_EQ(read_all(), image);
}

TEST_F(FrameTest, NewFrameIsCopiedAndReadBack) {
    auto red = solid(0);
    for (std::size_t i = 2; i < red.size(); i += 4) red[i] = 255;
    sim::present(0, 0, &red, nullptr);
    EXPECT_EQ(acquire(), Acquired::NewFrame);
    EXPECT_EQ(read_all(), red);
    EXPECT_EQ(read_all(), sim::image(0, 0));
    // Presents before an acquisition coalesce into one frame: the last image wins.
    auto blue = solid(7);
    sim::present(0, 0, &red, nullptr);
    sim::present(0, 0, &blue, nullptr);
    EXPECT_EQ(acquire(), Acquired::NewFrame);
    EXPECT_EQ(acquire(), Acquired::NoNewFrame);
    EXPECT_EQ(read_all(), blue);
}

TEST_F(FrameTest, PointerOnlyFrameKeepsTheImage) {
    auto image = read_all();
    sim::PointerUpdate pointer;
    pointer.x = 5;
    sim::present(0, 0, nullptr, &pointer);
    EXPECT_EQ(acquire(), Acquired::NewFrame);
    EXPECT_EQ(read_all(), image);
}

// Windows refuses a second duplication of an output while the lost one is alive: the lost
// one is released before the re-creation.
TEST_F(FrameTest, LostAccessIsHealedByANewDuplication) {
    for (bool injected : {false, true}) {
        if (injected)  // any failure but the time-out is healed the same way
            fail("IDXGIOutputDuplication::AcquireNextFrame", E_FAIL);
        else
            sim::lose_access(0, 0, std::nullopt);
        const std::uint64_t generation = session_->duplication_generation;
        sim::trace(true);
        EXPECT_EQ(acquire(), Acquired::NoNewFrame);
        EXPECT_EQ(session_->duplication_generation, generation + 1);
        ASSERT_TRUE(session_->duplication);
        auto trace = sim::trace(true);
        auto released = std::find(trace.begin(), trace.end(), "Release(IDXGIOutputDuplication)");
        auto recreated = std::find(trace.begin(), trace.end(), "IDXGIOutput1::DuplicateOutput");
        ASSERT_NE(released, trace.end());
        EXPECT_LT(released, recreated);
        // The new duplication starts with the current image pending.
        EXPECT_EQ(acquire(), Acquired::NewFrame);
        EXPECT_EQ(read_all(), sim::image(0, 0));
    }
}

TEST_F(FrameTest, FailedRecreationReportsTheAcquisitionError) {
    sim::lose_access(0, 0, std::nullopt);
    for (int attempt = 0; attempt < 2; ++attempt) {
        fail("IDXGIOutput1::DuplicateOutput", E_FAIL);
        auto result = acquire_frame(*session_, 0);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.failure().kind(), Failure::Kind::Hresult);
        EXPECT_EQ(result.failure().code(), 0x887A0026u);
        // None is held, so the next call re-creates first; nothing says it will pass.
        EXPECT_FALSE(session_->duplication);
        EXPECT_FALSE(lost_for_now(*session_));
    }
    fail_null("IDXGIOutput1::DuplicateOutput");
    auto nothing = acquire_frame(*session_, 0);
    ASSERT_FALSE(nothing.ok());
    EXPECT_EQ(nothing.failure().code(), 0x887A0026u);
    // Once the re-creation works, frames come again.
    EXPECT_EQ(acquire(), Acquired::NoNewFrame);
    EXPECT_EQ(acquire(), Acquired::NewFrame);
}

TEST_F(FrameTest, SecureDesktopIsWaitedOut) {
    const auto before = read_all();
    sim::secure_desktop(0, 0, true);
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto result = acquire_frame(*session_, 0);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.failure().code(), 0x887A0026u);
        EXPECT_TRUE(lost_for_now(*session_));
    }
    auto changed = solid(0x42);
    sim::present(0, 0, &changed, nullptr);  // the desktop changed meanwhile
    EXPECT_EQ(read_all(), before);
    sim::secure_desktop(0, 0, false);
    EXPECT_EQ(acquire(), Acquired::NoNewFrame);
    EXPECT_FALSE(lost_for_now(*session_));
    EXPECT_EQ(acquire(), Acquired::NewFrame);
    EXPECT_EQ(read_all(), changed);
}

// A removed device never comes back.
TEST_F(FrameTest, RemovedDeviceIsNeverWaitedOut) {
    fail("IDXGIOutputDuplication::AcquireNextFrame", DXGI_ERROR_DEVICE_REMOVED);
    sim::trace(true);
    auto result = acquire_frame(*session_, 0);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.failure().code(), 0x887A0005u);
    EXPECT_FALSE(lost_for_now(*session_));
    // Nor is it asked for a new duplication there and then (an X server that stopped
    // answering would hold the caller for the whole opening time-out).
    const auto made = calls();
    EXPECT_EQ(std::find(made.begin(), made.end(), "IDXGIOutput1::DuplicateOutput"), made.end());
}

TEST_F(FrameTest, ErrorInformationOfTheAcquisitionTravels) {
    sim::Fault lost;
    lost.hresult = DXGI_ERROR_ACCESS_LOST;
    lost.description = u"Mode change.";
    fail("IDXGIOutputDuplication::AcquireNextFrame", lost);
    fail("IDXGIOutput1::DuplicateOutput", E_FAIL);
    auto result = acquire_frame(*session_, 0);
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.failure().error_info(), nullptr);
}

TEST_F(FrameTest, ModeChangeIsReportedNotCopied) {
    sim::lose_access(0, 0, std::make_pair(1280u, 720u));
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto result = acquire_frame(*session_, 0);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.failure().code(), 0x887A0026u);
        EXPECT_FALSE(session_->duplication);
        EXPECT_FALSE(lost_for_now(*session_));
    }
    EXPECT_EQ(session_->width, 1920u);
    // The session holds no duplication at the new mode, so a new one can open there.
    auto reopened = DuplicationSession::open(0, 0, false);
    ASSERT_TRUE(reopened.ok());
    EXPECT_EQ(reopened->width, 1280u);
}

// Frames without a present time carry no new desktop image: nothing is copied, so an
// HDR surface or a blank first surface never reaches the copy texture.
TEST_F(FrameTest, OnlyNewImagesAreCopied) {
    sim::MachineConfig machine = sim::MachineConfig::default_machine();
    machine.adapters[0].outputs[0].hdr = true;
    machine.adapters[0].outputs[0].blank_first_frame = true;
    session_.reset();
    open(machine);
    EXPECT_FALSE(session_->has_image);  // the warm-up saw only the blank first frame
    auto gray = solid(0x80);
    sim::present(0, 0, &gray, nullptr);
    sim::trace(true);
    EXPECT_EQ(acquire(), Acquired::NewFrame);
    EXPECT_TRUE(session_->has_image);
    EXPECT_TRUE(copied());

    sim::PointerUpdate moved;
    moved.x = 5;
    sim::present(0, 0, nullptr, &moved);
    sim::trace(true);
    EXPECT_EQ(acquire(), Acquired::NewFrame);
    EXPECT_FALSE(copied());
    EXPECT_EQ(read_all(), gray);
}

TEST_F(FrameTest, SurfaceOfAnotherFormatIsReportedLikeAModeChange) {
    sim::MachineConfig machine = sim::MachineConfig::default_machine();
    machine.adapters[0].outputs[0].surface_format = DXGI_FORMAT_R16G16B16A16_FLOAT;
    session_.reset();
    open(machine);
    EXPECT_FALSE(session_->has_image);
    auto gray = solid(0x80);
    sim::present(0, 0, &gray, nullptr);
    auto result = acquire_frame(*session_, 0);
    if (result.ok()) result = acquire_frame(*session_, 0);  // the warm-up left a re-created duplication
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.failure().code(), 0x887A0026u);
    EXPECT_FALSE(session_->has_image);
    EXPECT_FALSE(lost_for_now(*session_));
}

TEST_F(FrameTest, IgnoredFailuresStillGiveANewFrame) {
    auto image = read_all();
    auto gray = solid(9);
    sim::present(0, 0, &gray, nullptr);
    fail("QueryInterface(ID3D11Texture2D)", E_NOINTERFACE);
    EXPECT_EQ(acquire(), Acquired::NewFrame);
    EXPECT_EQ(read_all(), image);  // the copy texture keeps its previous image

    sim::present(0, 0, &gray, nullptr);
    fail_null("QueryInterface(ID3D11Texture2D)");
    EXPECT_EQ(acquire(), Acquired::NewFrame);
    EXPECT_EQ(read_all(), image);

    sim::present(0, 0, &gray, nullptr);
    fail("IDXGIOutputDuplication::ReleaseFrame", E_FAIL);
    EXPECT_EQ(acquire(), Acquired::NewFrame);
    EXPECT_EQ(read_all(), gray);
}

TEST_F(FrameTest, ReadRegionCopiesRowsAtTheirStride) {
    const auto image = sim::image(0, 0);
    std::vector<std::uint8_t> out(200 * 4 * 100, 0xEE);
    ASSERT_TRUE(read_region(*session_, 100, 50, 300, 150, out.data(), out.size()).ok());
    for (std::size_t i = 0; i < 100; ++i)
        ASSERT_EQ(std::memcmp(out.data() + i * 800, image.data() + (50 + i) * 1920 * 4 + 400, 800), 0) << "row " << i;
    EXPECT_EQ(calls(), (std::vector<std::string>{"ID3D11DeviceContext::CopyResource", "ID3D11DeviceContext::Map",
                                                 "ID3D11DeviceContext::Unmap"}));

    std::uint8_t untouched = 0x5A;
    ASSERT_TRUE(read_region(*session_, 10, 20, 30, 20, &untouched, 1).ok());
    EXPECT_EQ(untouched, 0x5A);
    EXPECT_EQ(calls(), (std::vector<std::string>{"ID3D11DeviceContext::CopyResource", "ID3D11DeviceContext::Map",
                                                 "ID3D11DeviceContext::Unmap"}));
}

TEST_F(FrameTest, ReadRegionFailuresAndFaults) {
    fail("ID3D11DeviceContext::Map", DXGI_ERROR_DEVICE_REMOVED);
    std::vector<std::uint8_t> out(16, 0);
    auto failed = read_region(*session_, 0, 0, 2, 2, out.data(), out.size());
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.failure().code(), 0x887A0005u);
    EXPECT_EQ(calls(), (std::vector<std::string>{"ID3D11DeviceContext::CopyResource", "ID3D11DeviceContext::Map"}));
    EXPECT_THROW((void)read_region(*session_, 0, 0, 2, 2, out.data(), out.size() - 1), InternalFault);
    EXPECT_THROW((void)read_region(*session_, 1919, 0, 1921, 1, out.data(), out.size()), InternalFault);
}

}  // namespace
}  // namespace vistrel
