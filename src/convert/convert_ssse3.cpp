// SSSE3: byte shuffles (pshufb) for the channel orders; gray as with SSE2.
#include <tmmintrin.h>

#include "src/convert/kernels.h"
#include "src/convert/x86_gray.h"

namespace vistrel::kernels {
namespace {

void rgba_ssse3(const std::uint8_t* s, std::uint8_t* d, std::size_t pixels) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    std::size_t i = 0;
    for (; i + 4 <= pixels; i += 4) {
        __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4 * i), _mm_shuffle_epi8(p, order));
    }
    rgba_scalar(s + 4 * i, d + 4 * i, pixels - i);
}

// Sixteen pixels at a time: each group of four shuffled to 12 bytes, the four
// groups stitched into three 16-byte stores.
template <bool Swap>
void three_channels_ssse3(const std::uint8_t* s, std::uint8_t* d, std::size_t pixels) {
    const __m128i order = Swap ? _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
                               : _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    std::size_t i = 0;
    for (; i + 16 <= pixels; i += 16) {
        const auto* in = reinterpret_cast<const __m128i*>(s + 4 * i);
        __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), order);
        __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), order);
        __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), order);
        __m128i e = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), order);
        auto* out = reinterpret_cast<__m128i*>(d + 3 * i);
        _mm_storeu_si128(out + 0, _mm_or_si128(a, _mm_slli_si128(b, 12)));
        _mm_storeu_si128(out + 1, _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
        _mm_storeu_si128(out + 2, _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(e, 4)));
    }
    if (Swap)
        rgb_scalar(s + 4 * i, d + 3 * i, pixels - i);
    else
        bgr_scalar(s + 4 * i, d + 3 * i, pixels - i);
}

}  // namespace

const KernelSet kSsse3 = {three_channels_ssse3<false>, rgba_ssse3, three_channels_ssse3<true>, gray_sse2};

}  // namespace vistrel::kernels
