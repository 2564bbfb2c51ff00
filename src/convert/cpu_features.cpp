#include "src/convert/cpu_features.h"

#if defined(VISTREL_X86_SIMD)
#if defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace vistrel {
namespace {

#if defined(VISTREL_X86_SIMD)
struct CpuidRegisters {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

CpuidRegisters cpuid(unsigned leaf, unsigned subleaf) {
    CpuidRegisters r;
#if defined(_MSC_VER)
    int out[4];
    __cpuidex(out, static_cast<int>(leaf), static_cast<int>(subleaf));
    r = {static_cast<unsigned>(out[0]), static_cast<unsigned>(out[1]), static_cast<unsigned>(out[2]),
         static_cast<unsigned>(out[3])};
#else
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
#endif
    return r;
}

// The register state the OS saves on a context switch (XCR0).
unsigned long long enabled_register_state() {
#if defined(_MSC_VER)
    return _xgetbv(0);
#else
    unsigned low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<unsigned long long>(high) << 32) | low;
#endif
}

CpuFeatures detect() {
    CpuFeatures f;
    unsigned max_leaf = cpuid(0, 0).eax;
    if (max_leaf < 1) return f;
    CpuidRegisters basic = cpuid(1, 0);
    f.sse2 = (basic.edx >> 26) & 1;
    f.ssse3 = (basic.ecx >> 9) & 1;
    bool osxsave = (basic.ecx >> 27) & 1;
    bool avx = (basic.ecx >> 28) & 1;
    // AVX registers are usable only if the OS saves both the XMM and YMM state.
    bool ymm_saved = osxsave && (enabled_register_state() & 0x6) == 0x6;
    if (max_leaf >= 7 && avx && ymm_saved) f.avx2 = (cpuid(7, 0).ebx >> 5) & 1;
    return f;
}
#else
CpuFeatures detect() { return {}; }
#endif

}  // namespace

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = detect();
    return features;
}

}  // namespace vistrel
