// AVX2: 32-byte shuffles for the channel orders, and gray sixteen pixels per
// 256-bit step.
#include <immintrin.h>

#include "src/convert/kernels.h"

namespace vistrel::kernels {
namespace {

void rgba_avx2(const std::uint8_t* s, std::uint8_t* d, std::size_t pixels) {
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15, 2, 1, 0, 3, 6, 5, 4, 7,
                                           10, 9, 8, 11, 14, 13, 12, 15);
    std::size_t i = 0;
    for (; i + 16 <= pixels; i += 16) {
        const auto* in = reinterpret_cast<const __m256i*>(s + 4 * i);
        auto* out = reinterpret_cast<__m256i*>(d + 4 * i);
        _mm256_storeu_si256(out, _mm256_shuffle_epi8(_mm256_loadu_si256(in), order));
        _mm256_storeu_si256(out + 1, _mm256_shuffle_epi8(_mm256_loadu_si256(in + 1), order));
    }
    rgba_scalar(s + 4 * i, d + 4 * i, pixels - i);
}

// Eight pixels per step: each 128-bit lane shuffled to 12 bytes, the two lanes joined
// into 24 bytes, stored as 32 of which the last 8 are overwritten by the next step.
// The loop stops while a full 32-byte store still fits the destination.
template <bool Swap>
void three_channels_avx2(const std::uint8_t* s, std::uint8_t* d, std::size_t pixels) {
    const __m256i order = Swap ? _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5,
                                                  4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
                               : _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5,
                                                  6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
    std::size_t i = 0;
    for (; i + 16 <= pixels; i += 8) {
        __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * i));
        __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(p, order), join);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 3 * i), packed);
    }
    if (Swap)
        rgb_scalar(s + 4 * i, d + 3 * i, pixels - i);
    else
        bgr_scalar(s + 4 * i, d + 3 * i, pixels - i);
}

// Sixteen pixels per step, as the SSE2 path does it (pmaddwd weighting of 16-bit
// lanes), eight pixels per 256-bit register.
void gray_avx2(const std::uint8_t* s, std::uint8_t* d, std::size_t pixels) {
    const __m256i low_bytes = _mm256_set1_epi16(0xFF);
    const __m256i w_blue_red = _mm256_set1_epi32((77 << 16) | 29);
    const __m256i w_green = _mm256_set1_epi32(150);
    const __m256i half = _mm256_set1_epi32(128);
    auto gray8 = [&](const std::uint8_t* p8) {
        __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p8));
        __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(_mm256_and_si256(p, low_bytes), w_blue_red),
                                       _mm256_madd_epi16(_mm256_srli_epi16(p, 8), w_green));
        __m256i gray = _mm256_srli_epi32(_mm256_add_epi32(sum, half), 8);
        return _mm_packs_epi32(_mm256_castsi256_si128(gray), _mm256_extracti128_si256(gray, 1));
    };
    std::size_t vector = gray_vector_pixels(pixels);
    for (std::size_t i = 0; i < vector; i += 16) {
        __m128i bytes = _mm_packus_epi16(gray8(s + 4 * i), gray8(s + 4 * i + 32));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), bytes);
    }
    gray_scalar(s + 4 * vector, d + vector, pixels - vector);
}

}  // namespace

const KernelSet kAvx2 = {three_channels_avx2<false>, rgba_avx2, three_channels_avx2<true>, gray_avx2};

}  // namespace vistrel::kernels
