// SSE2, the x86-64 baseline: the red/blue swap with 32-bit lane shifts, and gray.
// Without a byte shuffle the three-channel layouts stay scalar here.
#include <emmintrin.h>

#include "src/convert/kernels.h"
#include "src/convert/x86_gray.h"

namespace vistrel::kernels {
namespace {

void rgba_sse2(const std::uint8_t* s, std::uint8_t* d, std::size_t pixels) {
    std::size_t i = 0;
    const __m128i green_alpha = _mm_set1_epi32(static_cast<int>(0xFF00FF00u));
    const __m128i low = _mm_set1_epi32(0xFF);
    for (; i + 4 <= pixels; i += 4) {
        __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * i));
        __m128i swapped = _mm_or_si128(
            _mm_and_si128(p, green_alpha),
            _mm_or_si128(_mm_and_si128(_mm_srli_epi32(p, 16), low), _mm_slli_epi32(_mm_and_si128(p, low), 16)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4 * i), swapped);
    }
    rgba_scalar(s + 4 * i, d + 4 * i, pixels - i);
}

}  // namespace

const KernelSet kSse2 = {bgr_scalar, rgba_sse2, rgb_scalar, gray_sse2};

}  // namespace vistrel::kernels
