// The pointer read from a screen-cast stream's cursor metadata block, as compositors lay
// it out: the cursor, then a bitmap header, then its pixels.
#include <gtest/gtest.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <array>
#include <cstring>
#include <vector>

#include "platform/wayland/cursor_meta.h"

namespace vistrel::wayland {
namespace {

struct Block {
    std::vector<std::uint8_t> bytes;
    spa_meta_cursor* cursor() { return reinterpret_cast<spa_meta_cursor*>(bytes.data()); }
    spa_meta_bitmap* bitmap() { return reinterpret_cast<spa_meta_bitmap*>(bytes.data() + sizeof(spa_meta_cursor)); }
    std::uint8_t* pixels() { return bytes.data() + sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap); }
};

// A cursor at (x, y) with a w x h bitmap of premultiplied RGBA pixels, each `rgba`.
Block sprite(std::int32_t x, std::int32_t y, std::uint32_t w, std::uint32_t h, std::uint32_t stride,
             std::array<std::uint8_t, 4> rgba) {
    Block b;
    b.bytes.assign(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + std::size_t{stride} * h, 0);
    *b.cursor() = {};
    b.cursor()->id = 1;
    b.cursor()->position = {x, y};
    b.cursor()->hotspot = {3, 4};
    b.cursor()->bitmap_offset = sizeof(spa_meta_cursor);
    *b.bitmap() = {};
    b.bitmap()->format = SPA_VIDEO_FORMAT_RGBA;
    b.bitmap()->size = {w, h};
    b.bitmap()->stride = static_cast<std::int32_t>(stride);
    b.bitmap()->offset = sizeof(spa_meta_bitmap);
    for (std::uint32_t row = 0; row < h; ++row)
        for (std::uint32_t col = 0; col < w; ++col) std::memcpy(b.pixels() + row * stride + col * 4, rgba.data(), 4);
    return b;
}

TEST(WaylandCursorMeta, SpriteBecomesStraightAlphaBgraWithItsHotSpot) {
    StreamPointer p;
    // Half-transparent red, premultiplied: 0x40 of red at alpha 0x80 is 0x80 straight.
    Block b = sprite(100, 50, 2, 3, 12, {0x40, 0x00, 0x20, 0x80});
    ASSERT_EQ(apply_cursor_meta(b.bytes.data(), b.bytes.size(), p), PointerChange::Reshaped);
    EXPECT_TRUE(p.visible);
    EXPECT_EQ(p.x, 100);
    EXPECT_EQ(p.y, 50);
    EXPECT_EQ(p.hotspot_x, 3);
    EXPECT_EQ(p.hotspot_y, 4);
    ASSERT_EQ(p.width, 2u);
    ASSERT_EQ(p.height, 3u);
    ASSERT_EQ(p.bgra.size(), 2u * 3 * 4);
    // Rows are repacked to width * 4 despite the padded stride.
    for (std::size_t i = 0; i < p.bgra.size(); i += 4) {
        EXPECT_EQ(p.bgra[i + 0], 0x40);  // blue
        EXPECT_EQ(p.bgra[i + 1], 0x00);
        EXPECT_EQ(p.bgra[i + 2], 0x80);  // red
        EXPECT_EQ(p.bgra[i + 3], 0x80);
    }
}

TEST(WaylandCursorMeta, PositionOnlyUpdatesKeepTheImageAndHotSpot) {
    StreamPointer p;
    Block b = sprite(10, 10, 1, 1, 4, {0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_EQ(apply_cursor_meta(b.bytes.data(), b.bytes.size(), p), PointerChange::Reshaped);
    spa_meta_cursor moved{};
    moved.id = 1;
    moved.position = {20, 30};
    // A moving compositor sends no hot spot (zero) alongside no bitmap.
    ASSERT_EQ(apply_cursor_meta(&moved, sizeof moved, p), PointerChange::Moved);
    EXPECT_EQ(p.x, 20);
    EXPECT_EQ(p.y, 30);
    EXPECT_EQ(p.hotspot_x, 3);
    EXPECT_EQ(p.bgra.size(), 4u);
    EXPECT_EQ(apply_cursor_meta(&moved, sizeof moved, p), PointerChange::None);

    // Cleared metadata: the pointer left the output or was hidden.
    spa_meta_cursor cleared{};
    ASSERT_EQ(apply_cursor_meta(&cleared, sizeof cleared, p), PointerChange::Moved);
    EXPECT_FALSE(p.visible);
    ASSERT_EQ(apply_cursor_meta(&moved, sizeof moved, p), PointerChange::Moved);
    EXPECT_TRUE(p.visible);
}

TEST(WaylandCursorMeta, EmptySpriteHides) {
    StreamPointer p;
    Block b = sprite(10, 10, 1, 1, 4, {0xFF, 0xFF, 0xFF, 0xFF});
    apply_cursor_meta(b.bytes.data(), b.bytes.size(), p);
    Block empty = sprite(10, 10, 0, 0, 0, {});
    ASSERT_EQ(apply_cursor_meta(empty.bytes.data(), empty.bytes.size(), p), PointerChange::Reshaped);
    EXPECT_FALSE(p.visible);
    EXPECT_TRUE(p.bgra.empty());
}

TEST(WaylandCursorMeta, BitmapsReachingPastTheBlockAreIgnored) {
    StreamPointer p;
    Block good = sprite(1, 2, 2, 2, 8, {0, 0, 0, 0xFF});
    apply_cursor_meta(good.bytes.data(), good.bytes.size(), p);

    Block tall = sprite(5, 6, 2, 2, 8, {0xFF, 0, 0, 0xFF});
    tall.bitmap()->size.height = 1000;  // rows beyond the block
    EXPECT_EQ(apply_cursor_meta(tall.bytes.data(), tall.bytes.size(), p), PointerChange::Moved);
    EXPECT_EQ(p.x, 5);
    EXPECT_EQ(p.height, 2u);
    EXPECT_EQ(p.bgra[2], 0);  // the old image stays

    Block narrow = sprite(5, 6, 2, 2, 8, {0xFF, 0, 0, 0xFF});
    narrow.bitmap()->stride = 4;  // less than a row
    EXPECT_EQ(apply_cursor_meta(narrow.bytes.data(), narrow.bytes.size(), p), PointerChange::None);

    Block far = sprite(5, 6, 2, 2, 8, {0xFF, 0, 0, 0xFF});
    far.cursor()->bitmap_offset = 0xFFFFFFF0u;  // the bitmap header outside the block
    EXPECT_EQ(apply_cursor_meta(far.bytes.data(), far.bytes.size(), p), PointerChange::None);

    Block odd = sprite(5, 6, 2, 2, 8, {0xFF, 0, 0, 0xFF});
    odd.bitmap()->format = SPA_VIDEO_FORMAT_I420;
    EXPECT_EQ(apply_cursor_meta(odd.bytes.data(), odd.bytes.size(), p), PointerChange::None);
    EXPECT_EQ(p.bgra[2], 0);

    // A block too short for the cursor itself says nothing.
    EXPECT_EQ(apply_cursor_meta(good.bytes.data(), sizeof(spa_meta_cursor) - 1, p), PointerChange::None);
}

TEST(WaylandCursorMeta, ChannelOrderFollowsTheFormat) {
    StreamPointer p;
    Block b = sprite(0, 0, 1, 1, 4, {0x11, 0x22, 0x33, 0xFF});
    b.bitmap()->format = SPA_VIDEO_FORMAT_ARGB;  // bytes A R G B
    b.pixels()[0] = 0xFF;
    b.pixels()[1] = 0x33;
    b.pixels()[2] = 0x22;
    b.pixels()[3] = 0x11;
    ASSERT_EQ(apply_cursor_meta(b.bytes.data(), b.bytes.size(), p), PointerChange::Reshaped);
    EXPECT_EQ(p.bgra, (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0xFF}));
}

}  // namespace
}  // namespace vistrel::wayland
