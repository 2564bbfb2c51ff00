// What this CPU (and the operating system, for the AVX registers) can run.
#pragma once

namespace vistrel {

struct CpuFeatures {
    bool sse2 = false;
    bool ssse3 = false;
    bool avx2 = false;
};

// Read once; cheap afterwards.
const CpuFeatures& cpu_features();

}  // namespace vistrel
