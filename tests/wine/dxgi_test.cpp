// The capture core against the system's own DXGI and Direct3D 11, as far as Wine
// implements them: enumeration, device creation and the read-back path work there;
// desktop duplication and keyed-mutex sharing do not, and the core must report those
// failures with their HRESULTs. The WithoutDisplay case runs with no X display.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "duplication/device.h"
#include "duplication/enumerate.h"
#include "duplication/frame.h"
#include "duplication/shared_texture.h"

// clang-format off: psapi.h needs windows.h (through the core's headers) before it.
#include <psapi.h>
#include <tlhelp32.h>
// clang-format on

namespace vistrel {
namespace {

constexpr std::uint32_t kNotImplemented = 0x80004001u;
constexpr std::uint32_t kNoInterface = 0x80004002u;
constexpr std::uint32_t kUnsupported = 0x887A0004u;

bool display_present() { return std::getenv("DISPLAY") && *std::getenv("DISPLAY"); }

TEST(WineEnumeration, AdaptersAndOutputsThroughTheCore) {
    auto walked = walk_adapters({});
    ASSERT_TRUE(walked.ok()) << std::hex << walked.failure().code();
    const std::vector<AdapterEntry>& adapters = walked.value();
    ASSERT_GE(adapters.size(), 1u);
    ASSERT_GE(adapters[0].outputs.size(), 1u);
    const DXGI_OUTPUT_DESC& output = adapters[0].outputs[0];
    // The primary output is the X screen the runner started.
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_GT(width, 0);
    EXPECT_EQ(output_width(output), static_cast<std::uint32_t>(width));
    EXPECT_EQ(output_height(output), static_cast<std::uint32_t>(height));
    EXPECT_EQ(output_info_line(0, 0, output), "Device[0] Output[0]: Res:(" + std::to_string(width) + ", " +
                                                  std::to_string(height) + ") Rot:1 Primary:true\n");
    const std::string device = device_info_line(0, adapters[0].desc);
    EXPECT_EQ(device.rfind("Device[0]:<Name:", 0), 0u) << device;
    EXPECT_NE(device.find(" VendorId:0x"), std::string::npos) << device;
    EXPECT_EQ(device.substr(device.size() - 4), "MB>\n") << device;

    // The walk without descriptions finds the same adapters and outputs.
    auto bare = walk_adapters({false, true});
    ASSERT_TRUE(bare.ok());
    ASSERT_EQ(bare.value().size(), adapters.size());
    EXPECT_EQ(bare.value()[0].desc.VendorId, 0u);
    EXPECT_EQ(bare.value()[0].outputs.size(), adapters[0].outputs.size());
}

TEST(WineOpen, OutOfRangeIndicesGiveTheirMessages) {
    auto walked = walk_adapters({false, true});
    ASSERT_TRUE(walked.ok());
    const auto adapters = static_cast<std::uint32_t>(walked.value().size());
    const auto outputs = static_cast<std::uint32_t>(walked.value()[0].outputs.size());
    auto no_device = DuplicationSession::open(adapters, 0, false);
    ASSERT_FALSE(no_device.ok());
    EXPECT_EQ(no_device.failure().kind(), Failure::Kind::BadValue);
    EXPECT_EQ(no_device.failure().text(), "device index " + std::to_string(adapters) + " out of range");
    auto no_output = DuplicationSession::open(0, outputs, false);
    ASSERT_FALSE(no_output.ok());
    EXPECT_EQ(no_output.failure().kind(), Failure::Kind::BadValue);
    EXPECT_EQ(no_output.failure().text(),
              "output index " + std::to_string(outputs) + " out of range (HRESULT 0x887A0002)");
}

// What the process holds: its committed private memory, and its threads (a Direct3D
// device has a worker thread of its own under Wine). Wine reports no handle count.
struct Footprint {
    std::size_t committed_bytes = 0;
    int threads = 0;
};

Footprint footprint() {
    Footprint f;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        f.committed_bytes = counters.PagefileUsage;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return f;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++f.threads;
    CloseHandle(snapshot);
    return f;
}

TEST(WineOpen, DuplicateOutputFailsWithItsHresultAndLeavesNothing) {
    auto first = DuplicationSession::open(0, 0, true);
    ASSERT_FALSE(first.ok());
    EXPECT_EQ(first.failure().kind(), Failure::Kind::Hresult);
    EXPECT_EQ(first.failure().code(), kNotImplemented);
    // Each failed open gets as far as a device and the output. A device that survived
    // would keep its thread and about 4 MB: a dozen of them show.
    (void)DuplicationSession::open(0, 0, true);
    const Footprint before = footprint();
    ASSERT_GT(before.committed_bytes, 0u);
    ASSERT_GT(before.threads, 0);
    for (int i = 0; i < 12; ++i) {
        auto again = DuplicationSession::open(0, 0, true);
        ASSERT_FALSE(again.ok());
        ASSERT_EQ(again.failure().code(), kNotImplemented);
    }
    const Footprint after = footprint();
    EXPECT_LT(after.threads, before.threads + 5);
    EXPECT_LT(after.committed_bytes, before.committed_bytes + (16u << 20))
        << "committed memory grew from " << before.committed_bytes << " to " << after.committed_bytes;
}

// A session with a device, and frame and staging textures as open makes them, whose
// frame texture holds a pattern the test chose: what read-back sees after a frame.
class WineReadBack : public ::testing::Test {
protected:
    void make_session(std::uint32_t width, std::uint32_t height) {
        ComPtr<IDXGIFactory1> factory;
        ASSERT_EQ(CreateDXGIFactory1(iid_of<IDXGIFactory1>(), factory.put_void()), S_OK);
        ComPtr<IDXGIAdapter1> adapter;
        ASSERT_EQ(factory->EnumAdapters1(0, adapter.put()), S_OK);
        const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0};
        ASSERT_EQ(
            D3D11CreateDevice(adapter.get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels,
                              1, D3D11_SDK_VERSION, session_.device.put(), nullptr, session_.context.put()),
            S_OK);
        session_.width = width;
        session_.height = height;
        D3D11_TEXTURE2D_DESC desc = frame_texture_desc(width, height);
        ASSERT_EQ(session_.device->CreateTexture2D(&desc, nullptr, session_.gpu_copy.put()), S_OK);
        desc.Usage = D3D11_USAGE_STAGING;
        desc.BindFlags = 0;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        ASSERT_EQ(session_.device->CreateTexture2D(&desc, nullptr, session_.staging.put()), S_OK);
    }

    // Writes a pattern with every byte depending on position and `seed` into the frame texture.
    void fill(std::uint8_t seed) {
        image_.resize(std::size_t{session_.width} * session_.height * 4);
        for (std::size_t i = 0; i < image_.size(); ++i)
            image_[i] = static_cast<std::uint8_t>(i * 7 + i / (session_.width * 4) * 13 + seed);
        session_.context->UpdateSubresource(session_.gpu_copy.get(), 0, nullptr, image_.data(), session_.width * 4, 0);
    }

    std::vector<std::uint8_t> expected(std::uint32_t left, std::uint32_t top, std::uint32_t right,
                                       std::uint32_t bottom) const {
        const std::size_t row_bytes = std::size_t{right - left} * 4;
        std::vector<std::uint8_t> out(row_bytes * (bottom - top));
        for (std::uint32_t y = top; y < bottom; ++y)
            std::memcpy(out.data() + (y - top) * row_bytes,
                        image_.data() + (std::size_t{y} * session_.width + left) * 4, row_bytes);
        return out;
    }

    std::vector<std::uint8_t> read(std::uint32_t left, std::uint32_t top, std::uint32_t right, std::uint32_t bottom) {
        std::vector<std::uint8_t> out(std::size_t{right - left} * (bottom - top) * 4, 0xEE);
        Status status = read_region(session_, left, top, right, bottom, out.data(), out.size());
        EXPECT_TRUE(status.ok());
        return out;
    }

    DuplicationSession session_;
    std::vector<std::uint8_t> image_;
};

TEST_F(WineReadBack, RegionsArePixelExact) {
    // An odd width, so that a row pitch mistake shifts every row.
    make_session(333, 77);
    fill(1);
    EXPECT_EQ(read(0, 0, 333, 77), expected(0, 0, 333, 77));
    EXPECT_EQ(read(5, 3, 6, 4), expected(5, 3, 6, 4));
    EXPECT_EQ(read(100, 10, 333, 77), expected(100, 10, 333, 77));
    EXPECT_EQ(read(17, 76, 300, 77), expected(17, 76, 300, 77));
    // A new frame is what the next read sees.
    fill(99);
    EXPECT_EQ(read(1, 1, 200, 50), expected(1, 1, 200, 50));
}

TEST_F(WineReadBack, OneMapServesSeveralRegions) {
    make_session(64, 48);
    fill(5);
    auto mapped = MappedFrame::map(session_);
    ASSERT_TRUE(mapped.ok());
    std::vector<std::uint8_t> top(64 * 4 * 10), corner(4 * 4 * 4);
    mapped->copy_rows(0, 0, 64, 10, top.data(), top.size());
    mapped->copy_rows(60, 44, 64, 48, corner.data(), corner.size());
    EXPECT_EQ(top, expected(0, 0, 64, 10));
    EXPECT_EQ(corner, expected(60, 44, 64, 48));
}

TEST_F(WineReadBack, SharedTextureFailsWithItsHresultAndStaysEmpty) {
    make_session(32, 32);
    Status shared = ensure_shared_texture(session_);
    ASSERT_FALSE(shared.ok());
    EXPECT_EQ(shared.failure().kind(), Failure::Kind::Hresult);
    EXPECT_EQ(shared.failure().code(), kNoInterface);
    EXPECT_FALSE(session_.shared.filled());
    EXPECT_FALSE(session_.shared.handle);
    EXPECT_FALSE(session_.shared.keyed_mutex);
}

TEST(WithoutDisplay, FactoryFailsWithItsHresult) {
    if (display_present()) GTEST_SKIP() << "runs without an X display";
    auto walked = walk_adapters({});
    ASSERT_FALSE(walked.ok());
    EXPECT_EQ(walked.failure().kind(), Failure::Kind::Hresult);
    EXPECT_EQ(walked.failure().code(), kUnsupported);
    auto session = DuplicationSession::open(0, 0, false);
    ASSERT_FALSE(session.ok());
    EXPECT_EQ(session.failure().code(), kUnsupported);
}

}  // namespace
}  // namespace vistrel
