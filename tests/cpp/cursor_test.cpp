// The pointer: tracking from frames and drawing into packed BGRA rows.
#include "duplication/cursor.h"

#include <cstdint>
#include <cstring>

#include "duplication/frame.h"
#include "tests/cpp/sim_test.h"

namespace vistrel {
namespace {

// A destination of w x h pixels all (b, g, r, a).
std::vector<std::uint8_t> canvas(int w, int h, std::uint8_t b = 10, std::uint8_t g = 20, std::uint8_t r = 30,
                                 std::uint8_t a = 40) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(w * h) * 4);
    for (std::size_t i = 0; i < out.size(); i += 4) {
        out[i] = b;
        out[i + 1] = g;
        out[i + 2] = r;
        out[i + 3] = a;
    }
    return out;
}

const std::uint8_t* pixel(const std::vector<std::uint8_t>& d, int w, int x, int y) { return &d[(y * w + x) * 4]; }

CursorState color_cursor(std::uint32_t w, std::uint32_t h, std::uint8_t b, std::uint8_t g, std::uint8_t r,
                         std::uint8_t a) {
    CursorState c;
    c.visible = true;
    c.shape_type = 2;
    c.shape_width = w;
    c.shape_height = h;
    c.shape_pitch = w * 4;
    c.shape = canvas(static_cast<int>(w), static_cast<int>(h), b, g, r, a);
    return c;
}

TEST(CompositeCursor, ColorBlend) {
    auto d = canvas(1, 1, 0, 255, 100, 40);
    auto c = color_cursor(1, 1, 255, 0, 100, 128);
    composite_cursor(d.data(), d.size(), 1, 1, 0, 0, c);
    // (255*128 + 0 + 127)/255 = 128; (0 + 255*127 + 127)/255 = 127; equal channels stay.
    EXPECT_EQ(d, (std::vector<std::uint8_t>{128, 127, 100, 40}));

    d = canvas(1, 1, 255, 255, 255, 9);
    c = color_cursor(1, 1, 0, 0, 0, 1);
    composite_cursor(d.data(), d.size(), 1, 1, 0, 0, c);
    EXPECT_EQ(d, (std::vector<std::uint8_t>{254, 254, 254, 9}));

    d = canvas(1, 1);
    c = color_cursor(1, 1, 1, 2, 3, 0);
    composite_cursor(d.data(), d.size(), 1, 1, 0, 0, c);
    EXPECT_EQ(d, canvas(1, 1));  // alpha 0: untouched
    c = color_cursor(1, 1, 1, 2, 3, 255);
    composite_cursor(d.data(), d.size(), 1, 1, 0, 0, c);
    EXPECT_EQ(d, (std::vector<std::uint8_t>{1, 2, 3, 40}));  // alpha 255: the shape, alpha byte kept
}

TEST(CompositeCursor, MaskedColorBlend) {
    CursorState c = color_cursor(2, 1, 0xF0, 0x0F, 0xFF, 0);
    (*c.shape)[3] = 0xFF;  // first pixel: mask set (XOR), second: mask clear (replace)
    c.shape_type = 4;
    auto d = canvas(2, 1, 0x0F, 0x0F, 0x00, 77);
    composite_cursor(d.data(), d.size(), 2, 1, 0, 0, c);
    EXPECT_EQ(d, (std::vector<std::uint8_t>{0xFF, 0x00, 0xFF, 77, 0xF0, 0x0F, 0xFF, 77}));
}

TEST(CompositeCursor, MonochromeBlend) {
    // 4 x 1 pointer, pitch 1: AND row 0b0011..., XOR row 0b0101...
    CursorState c;
    c.visible = true;
    c.shape_type = 1;
    c.shape_width = 4;
    c.shape_height = 1;
    c.shape_pitch = 1;
    c.shape = std::vector<std::uint8_t>{0b00110000, 0b01010000};
    auto d = canvas(4, 1, 0x12, 0x34, 0x56, 0x78);
    composite_cursor(d.data(), d.size(), 4, 1, 0, 0, c);
    EXPECT_EQ(d, (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x78,     // (0,0) black
                                            0xFF, 0xFF, 0xFF, 0x78,     // (0,1) white
                                            0x12, 0x34, 0x56, 0x78,     // (1,0) unchanged
                                            0xED, 0xCB, 0xA9, 0x78}));  // (1,1) inverted
}

TEST(CompositeCursor, ClippingOnEveryEdge) {
    const auto shape = color_cursor(4, 4, 0, 0, 0, 255);
    struct Case {
        int pos_x, pos_y, origin_x, origin_y;
        int first_x, first_y, last_x, last_y;  // the drawn rectangle in the 8 x 8 destination, or -1
    };
    for (Case k : {Case{-2, -3, 0, 0, 0, 0, 1, 0}, Case{6, 5, 0, 0, 6, 5, 7, 7}, Case{2, 2, 0, 0, 2, 2, 5, 5},
                   Case{102, 52, 100, 50, 2, 2, 5, 5}, Case{99, 49, 100, 50, 0, 0, 2, 2}, Case{8, 0, 0, 0, -1, 0, 0, 0},
                   Case{0, 8, 0, 0, -1, 0, 0, 0}, Case{-4, 0, 0, 0, -1, 0, 0, 0}, Case{0, 0, 100, 100, -1, 0, 0, 0}}) {
        CursorState c = shape;
        c.position_x = k.pos_x;
        c.position_y = k.pos_y;
        auto d = canvas(8, 8);
        composite_cursor(d.data(), d.size(), 8, 8, k.origin_x, k.origin_y, c);
        for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 8; ++x) {
                bool drawn = k.first_x >= 0 && x >= k.first_x && x <= k.last_x && y >= k.first_y && y <= k.last_y;
                EXPECT_EQ(pixel(d, 8, x, y)[0], drawn ? 0 : 10)
                    << "pos " << k.pos_x << "," << k.pos_y << " at " << x << "," << y;
            }
        }
    }
}

TEST(CompositeCursor, ClippedShapeStartsAtTheRightColumnAndRow) {
    CursorState c = color_cursor(3, 3, 0, 0, 0, 255);
    for (int i = 0; i < 9; ++i) (*c.shape)[i * 4] = static_cast<std::uint8_t>(i + 1);  // blue = index + 1
    c.position_x = -1;
    c.position_y = -2;
    auto d = canvas(4, 4);
    composite_cursor(d.data(), d.size(), 4, 4, 0, 0, c);
    EXPECT_EQ(pixel(d, 4, 0, 0)[0], 8);  // shape row 2, column 1
    EXPECT_EQ(pixel(d, 4, 1, 0)[0], 9);
    EXPECT_EQ(pixel(d, 4, 2, 0)[0], 10);
    EXPECT_EQ(pixel(d, 4, 0, 1)[0], 10);
}

TEST(CompositeCursor, DrawsNothingUnlessSafeAndShown) {
    const auto untouched = canvas(4, 4);
    auto check = [&](const CursorState& c, std::size_t length = 64) {
        auto d = canvas(4, 4);
        composite_cursor(d.data(), length, 4, 4, 0, 0, c);
        EXPECT_EQ(d, untouched);
    };
    CursorState c = color_cursor(2, 2, 0, 0, 0, 255);
    c.visible = false;
    check(c);
    c.visible = true;
    c.shape_type = 3;  // unknown kind
    check(c);
    c.shape_type = 2;
    c.shape_pitch = 7;  // below a row of 2 pixels
    check(c);
    c.shape_pitch = 8;
    c.shape_height = 3;  // more rows than the buffer holds
    check(c);
    c.shape_height = 2;
    check(c, 63);  // destination shorter than its pixels
    CursorState mono;
    mono.visible = true;
    mono.shape_type = 1;
    mono.shape_width = 16;
    mono.shape_height = 2;
    mono.shape_pitch = 2;
    mono.shape = std::vector<std::uint8_t>(7, 0);  // both masks need 8 bytes
    check(mono);
    mono.shape_pitch = 1;  // 16 pixels need 2 bytes a row
    mono.shape = std::vector<std::uint8_t>(64, 0);
    check(mono);
    check(CursorState{});  // no shape at all
}

class CursorTrackingTest : public test::SessionTest {
protected:
    void next_frame(const sim::PointerUpdate* pointer, bool with_image) {
        std::vector<std::uint8_t> image = sim::image(0, 0);
        sim::present(0, 0, with_image ? &image : nullptr, pointer);
        auto result = acquire_frame(*session_, 100);
        ASSERT_TRUE(result.ok());
        ASSERT_EQ(result.value(), Acquired::NewFrame);
    }
};

TEST_F(CursorTrackingTest, MonochromeShapeStoresOneMasksHeight) {
    open();
    sim::PointerUpdate pointer;
    pointer.shape = sim::PointerShape{1, 32, 64, 4, 0, 0, std::vector<std::uint8_t>(4 * 64, 0xAA)};
    next_frame(&pointer, false);
    const CursorState& c = session_->cursor;
    ASSERT_TRUE(c.shape);
    EXPECT_EQ(c.shape_type, 1u);
    EXPECT_EQ(c.shape_width, 32u);
    EXPECT_EQ(c.shape_height, 32u);
    EXPECT_EQ(c.shape->size(), 256u);
}

TEST_F(CursorTrackingTest, PositionFollowsEveryMouseUpdate) {
    open();
    sim::PointerUpdate moved;
    moved.x = 40;
    moved.y = 50;
    next_frame(&moved, true);
    EXPECT_EQ(session_->cursor.position_x, 40);
    EXPECT_TRUE(session_->cursor.visible);

    moved.x = 70;  // a pointer-only frame moves it too
    next_frame(&moved, false);
    EXPECT_EQ(session_->cursor.position_x, 70);
    sim::PointerUpdate left;
    left.visible = false;  // and can take it off this output
    next_frame(&left, false);
    EXPECT_FALSE(session_->cursor.visible);
    EXPECT_EQ(session_->cursor.position_x, 70);

    // A new image without a mouse update asks the system.
    sim::set_cursor_info({1, 300, 400, true});
    next_frame(nullptr, true);
    EXPECT_EQ(session_->cursor.position_x, 300);
    EXPECT_EQ(session_->cursor.position_y, 400);
    EXPECT_TRUE(session_->cursor.visible);

    sim::set_cursor_info({2, 1, 1, true});  // suppressed counts as hidden
    next_frame(nullptr, true);
    EXPECT_FALSE(session_->cursor.visible);

    sim::set_cursor_info({1, 9, 9, false});  // a failing call changes nothing
    next_frame(nullptr, true);
    EXPECT_FALSE(session_->cursor.visible);
    EXPECT_EQ(session_->cursor.position_x, 1);
    fail("GetCursorInfo", E_FAIL);
    sim::set_cursor_info({1, 9, 9, true});
    next_frame(nullptr, true);
    EXPECT_EQ(session_->cursor.position_x, 1);
}

TEST_F(CursorTrackingTest, SystemPositionIsMadeOutputRelative) {
    sim::MachineConfig machine = sim::MachineConfig::default_machine();
    machine.adapters[0].outputs[0].origin_x = 1920;
    machine.adapters[0].outputs[0].origin_y = -100;
    open(machine);
    sim::PointerUpdate shape;
    shape.shape = sim::PointerShape{2, 8, 8, 32, 3, 4, std::vector<std::uint8_t>(256, 0)};
    next_frame(&shape, false);
    sim::set_cursor_info({1, 2000, 50, true});
    next_frame(nullptr, true);
    EXPECT_EQ(session_->cursor.position_x, 2000 - 3 - 1920);
    EXPECT_EQ(session_->cursor.position_y, 50 - 4 + 100);
}

TEST_F(CursorTrackingTest, PositionAtTheEdgeOf32BitsSurvivesTheRoundTrip) {
    sim::MachineConfig machine = sim::MachineConfig::default_machine();
    machine.adapters[0].outputs[0].origin_x = 100;
    open(machine);
    sim::PointerUpdate pointer;
    pointer.shape = sim::PointerShape{2, 8, 8, 32, 7, 9, std::vector<std::uint8_t>(256, 0)};
    pointer.x = INT32_MAX - 3;  // plus hot spot and origin: past 32 bits
    pointer.y = INT32_MAX;
    next_frame(&pointer, false);
    next_frame(nullptr, true);  // a new image without a mouse update asks the system
    EXPECT_EQ(session_->cursor.position_x, INT32_MAX - 3);
    EXPECT_EQ(session_->cursor.position_y, INT32_MAX);
}

TEST_F(CursorTrackingTest, FailedShapeFetchKeepsTheOldShape) {
    open();
    sim::PointerUpdate first;
    first.shape = sim::PointerShape{2, 2, 2, 8, 0, 0, std::vector<std::uint8_t>(16, 1)};
    next_frame(&first, false);
    ASSERT_TRUE(session_->cursor.shape);
    sim::PointerUpdate second;
    second.shape = sim::PointerShape{4, 3, 3, 12, 0, 0, std::vector<std::uint8_t>(36, 2)};
    fail("IDXGIOutputDuplication::GetFramePointerShape", E_FAIL);
    next_frame(&second, false);
    EXPECT_EQ(session_->cursor.shape_type, 2u);
    EXPECT_EQ(session_->cursor.shape->size(), 16u);
}

// On a rotated output the surface keeps the display's own orientation while the pointer is
// reported in the desktop's: drawn on the surface, it must land where the desktop's pixels
// went. The oracle draws on a desktop-oriented canvas and turns that canvas.
TEST_F(CursorTrackingTest, PointerFollowsTheDesktopOnRotatedOutputs) {
    constexpr std::uint32_t kDesktopW = 40, kDesktopH = 30;
    for (std::uint32_t rotation : {2u, 3u, 4u}) {
        for (std::uint32_t type : {1u, 2u}) {
            SCOPED_TRACE(testing::Message() << "rotation " << rotation << " type " << type);
            sim::MachineConfig machine = sim::MachineConfig::default_machine();
            machine.adapters[0].outputs[0].width = kDesktopW;
            machine.adapters[0].outputs[0].height = kDesktopH;
            machine.adapters[0].outputs[0].rotation = rotation;
            open(machine);
            const bool swapped = rotation != 3;
            const std::uint32_t sw = swapped ? kDesktopH : kDesktopW, sh = swapped ? kDesktopW : kDesktopH;
            ASSERT_EQ(session_->width, sw);
            ASSERT_EQ(session_->height, sh);

            // A 5 x 3 shape whose every pixel differs, so a wrong turn shows.
            sim::PointerShape shape;
            shape.type = type;
            shape.width = 5;
            if (type == 1) {
                shape.height = 6;  // both masks
                shape.pitch = 1;
                shape.data = {0x1F, 0x0F, 0x17, 0x00, 0x00, 0x00, 0x80, 0x41, 0x22};
            } else {
                shape.height = 3;
                shape.pitch = 20;
                for (std::uint8_t i = 0; i < 15; ++i)
                    shape.data.insert(shape.data.end(), {i, static_cast<std::uint8_t>(i * 3), 200, 255});
            }
            sim::PointerUpdate pointer;
            pointer.x = 7;
            pointer.y = 4;
            pointer.visible = true;
            pointer.shape = shape;
            next_frame(&pointer, false);

            std::vector<std::uint8_t> desktop(std::size_t{kDesktopW} * kDesktopH * 4, 0x30);
            composite_cursor(desktop.data(), desktop.size(), kDesktopW, kDesktopH, 0, 0, session_->cursor);
            std::vector<std::uint8_t> surface(std::size_t{sw} * sh * 4, 0x30);
            composite_cursor(surface.data(), surface.size(), static_cast<std::int32_t>(sw),
                             static_cast<std::int32_t>(sh), 0, 0, session_->drawn_cursor());
            for (std::uint32_t y = 0; y < sh; ++y)
                for (std::uint32_t x = 0; x < sw; ++x) {
                    std::uint32_t dx = x, dy = y;  // where surface pixel (x, y) shows on the desktop
                    if (rotation == 2) dx = kDesktopW - 1 - y, dy = x;
                    if (rotation == 3) dx = kDesktopW - 1 - x, dy = kDesktopH - 1 - y;
                    if (rotation == 4) dx = y, dy = kDesktopH - 1 - x;
                    ASSERT_EQ(std::memcmp(&surface[(std::size_t{y} * sw + x) * 4],
                                          &desktop[(std::size_t{dy} * kDesktopW + dx) * 4], 4),
                              0)
                        << "surface pixel " << x << "," << y;
                }
        }
    }
}

}  // namespace
}  // namespace vistrel
