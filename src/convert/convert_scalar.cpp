// Plain C++ loops: the reference every vector path must match, and their tails.
#include <cstring>

#include "src/convert/kernels.h"

namespace vistrel::kernels {

void bgr_scalar(const std::uint8_t* s, std::uint8_t* d, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i, s += 4, d += 3) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
    }
}

void rgba_scalar(const std::uint8_t* s, std::uint8_t* d, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i, s += 4, d += 4) {
        std::uint32_t p;
        std::memcpy(&p, s, 4);
        // Little-endian BGRA word: swap the bytes of blue and red.
        p = (p & 0xFF00FF00u) | ((p >> 16) & 0xFFu) | ((p & 0xFFu) << 16);
        std::memcpy(d, &p, 4);
    }
}

void rgb_scalar(const std::uint8_t* s, std::uint8_t* d, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i, s += 4, d += 3) {
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
    }
}

void gray_scalar(const std::uint8_t* s, std::uint8_t* d, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i, s += 4) d[i] = gray_of(s[0], s[1], s[2]);
}

const KernelSet kScalar = {bgr_scalar, rgba_scalar, rgb_scalar, gray_scalar};

}  // namespace vistrel::kernels
