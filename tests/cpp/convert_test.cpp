// convert_bgra on every instruction set against the reference formula.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "src/convert/convert_bgra.h"

namespace vistrel {
namespace {

constexpr PixelFormat kFormats[] = {PixelFormat::Bgra, PixelFormat::Bgr, PixelFormat::Rgba, PixelFormat::Rgb,
                                    PixelFormat::Gray};

// The layouts written out pixel by pixel, the way they are defined.
std::vector<std::uint8_t> reference(PixelFormat format, const std::vector<std::uint8_t>& bgra) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 3 < bgra.size(); i += 4) {
        std::uint8_t b = bgra[i], g = bgra[i + 1], r = bgra[i + 2], a = bgra[i + 3];
        switch (format) {
            case PixelFormat::Bgra:
                out.insert(out.end(), {b, g, r, a});
                break;
            case PixelFormat::Bgr:
                out.insert(out.end(), {b, g, r});
                break;
            case PixelFormat::Rgba:
                out.insert(out.end(), {r, g, b, a});
                break;
            case PixelFormat::Rgb:
                out.insert(out.end(), {r, g, b});
                break;
            case PixelFormat::Gray:
                out.push_back(static_cast<std::uint8_t>((77 * r + 150 * g + 29 * b + 128) >> 8));
                break;
        }
    }
    return out;
}

std::vector<std::uint8_t> convert(Isa isa, PixelFormat format, const std::vector<std::uint8_t>& bgra,
                                  std::uint32_t width, std::uint32_t height) {
    // One guard byte past the end catches a vector store that overruns.
    std::vector<std::uint8_t> out(std::size_t{width} * height * channel_count(format) + 1, 0xA5);
    convert_bgra_with(isa, format, bgra.data(), bgra.size(), out.data(), out.size() - 1, width, height);
    EXPECT_EQ(out.back(), 0xA5) << "wrote past the destination";
    out.pop_back();
    return out;
}

TEST(ConvertBgra, EveryInstructionSetMatchesTheReference) {
    std::mt19937 random(1234);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
    for (std::uint32_t w = 0; w <= 70; ++w)
        for (std::uint32_t h = 1; h <= 5; ++h) sizes.emplace_back(w, h);
    sizes.insert(sizes.end(), {{17, 1}, {1920, 3}, {1023, 7}, {4097, 2}});
    for (Isa isa : available_isas()) {
        for (auto [w, h] : sizes) {
            std::vector<std::uint8_t> bgra(std::size_t{w} * h * 4);
            for (auto& byte : bgra) byte = static_cast<std::uint8_t>(random());
            for (PixelFormat format : kFormats) {
                ASSERT_EQ(convert(isa, format, bgra, w, h), reference(format, bgra))
                    << isa_name(isa) << " format " << int(format) << " " << w << "x" << h;
            }
        }
    }
}

TEST(ConvertBgra, ExtremeChannelValuesOnEveryPath) {
    // All 0 and all 255 channels, where 16-bit sums and saturating packs would show.
    for (Isa isa : available_isas()) {
        for (std::uint8_t value : {std::uint8_t{0}, std::uint8_t{255}}) {
            std::vector<std::uint8_t> bgra(64 * 4, value);
            EXPECT_EQ(convert(isa, PixelFormat::Gray, bgra, 64, 1), std::vector<std::uint8_t>(64, value))
                << isa_name(isa);
        }
    }
}

TEST(ConvertBgra, DefinedPixelExamples) {
    struct Case {
        std::vector<std::uint8_t> bgra;
        PixelFormat format;
        std::vector<std::uint8_t> expected;
    };
    const std::vector<std::uint8_t> sample = {10, 20, 30, 40};
    Case cases[] = {
        {sample, PixelFormat::Bgr, {10, 20, 30}},
        {sample, PixelFormat::Rgba, {30, 20, 10, 40}},
        {sample, PixelFormat::Rgb, {30, 20, 10}},
        {sample, PixelFormat::Gray, {22}},
        {sample, PixelFormat::Bgra, sample},
        {{0, 0, 255, 255}, PixelFormat::Gray, {77}},
        {{0, 255, 0, 255}, PixelFormat::Gray, {149}},
        {{255, 0, 0, 255}, PixelFormat::Gray, {29}},
        {{255, 255, 255, 255}, PixelFormat::Gray, {255}},
    };
    for (Isa isa : available_isas()) {
        for (const Case& c : cases) {
            // Repeated 17 times so the vector loops see the pixel too, not only the tail.
            std::vector<std::uint8_t> bgra, expected;
            for (int i = 0; i < 17; ++i) {
                bgra.insert(bgra.end(), c.bgra.begin(), c.bgra.end());
                expected.insert(expected.end(), c.expected.begin(), c.expected.end());
            }
            EXPECT_EQ(convert(isa, c.format, bgra, 17, 1), expected) << isa_name(isa) << " format " << int(c.format);
        }
    }
}

TEST(ConvertBgra, ShortBuffersAreFaultsNotOverruns) {
    std::vector<std::uint8_t> source(4 * 4 * 4), destination(4 * 4 * 3);
    for (Isa isa : available_isas()) {
        EXPECT_THROW(convert_bgra_with(isa, PixelFormat::Bgr, source.data(), source.size() - 1, destination.data(),
                                       destination.size(), 4, 4),
                     InternalFault);
        EXPECT_THROW(convert_bgra_with(isa, PixelFormat::Bgr, source.data(), source.size(), destination.data(),
                                       destination.size() - 1, 4, 4),
                     InternalFault);
        EXPECT_THROW(convert_bgra_with(isa, PixelFormat::Bgra, source.data(), source.size(), destination.data(),
                                       destination.size(), 4, 4),
                     InternalFault);
        // Sizes whose byte count overflows are refused before any access.
        EXPECT_THROW(convert_bgra_with(isa, PixelFormat::Rgba, source.data(), source.size(), destination.data(),
                                       destination.size(), 0xFFFFFFFFu, 0xFFFFFFFFu),
                     InternalFault);
    }
    // Longer buffers are fine: only the first width x height pixels are used.
    std::vector<std::uint8_t> gray(100, 7);
    convert_bgra(PixelFormat::Gray, source.data(), source.size(), gray.data(), gray.size(), 2, 2);
    EXPECT_EQ(gray[4], 7);
}

TEST(ConvertBgra, TheBestInstructionSetIsUsedByDefault) {
    auto isas = available_isas();
    ASSERT_FALSE(isas.empty());
    EXPECT_EQ(isas.front(), Isa::Scalar);
#if defined(VISTREL_X86_SIMD)
    EXPECT_GE(isas.size(), 2u);  // SSE2 is always there on x86-64
#endif
}

}  // namespace
}  // namespace vistrel
