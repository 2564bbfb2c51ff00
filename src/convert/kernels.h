// The per-instruction-set conversion loops behind convert_bgra. Each takes a pixel
// count and buffers already checked to hold that many pixels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vistrel::kernels {

using Kernel = void (*)(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels);

struct KernelSet {
    Kernel bgr;
    Kernel rgba;
    Kernel rgb;
    Kernel gray;
};

extern const KernelSet kScalar;
#if defined(VISTREL_X86_SIMD)
extern const KernelSet kSse2;
extern const KernelSet kSsse3;
extern const KernelSet kAvx2;
#endif

// The scalar loops, also used for the tails of the vector loops.
void bgr_scalar(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels);
void rgba_scalar(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels);
void rgb_scalar(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels);
void gray_scalar(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels);

// Helpers here have internal linkage: the files that include them are compiled for
// different instruction sets, and a shared out-of-line copy could carry the wrong one.

// The gray formula: weights 77/150/29 add up to 256, +128 rounds to nearest.
static inline std::uint8_t gray_of(std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    return static_cast<std::uint8_t>((77u * r + 150u * g + 29u * b + 128u) >> 8);
}

// Gray works on blocks of sixteen pixels and leaves the last 1 to 16 to the scalar
// formula: the number of pixels the vector loop takes.
static inline std::size_t gray_vector_pixels(std::size_t pixels) { return pixels == 0 ? 0 : (pixels - 1) / 16 * 16; }

}  // namespace vistrel::kernels
