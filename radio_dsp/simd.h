// Small vector helpers (GCC/Clang vector extensions). The hot loops are
// compiled twice, for x86-64-v3 (AVX2 and FMA) and for the baseline, and
// the loader picks one for the CPU at hand.
#pragma once

#include <cstring>

// Vector helpers must be inlined into their (possibly AVX2) callers: an
// out-of-line call would pass 32-byte vectors by a different convention.
#define QV_INLINE inline __attribute__((always_inline))

namespace radio_dsp {

typedef double v4d __attribute__((vector_size(32)));
typedef float v4f __attribute__((vector_size(16)));
typedef long long v4l __attribute__((vector_size(32)));

QV_INLINE v4d load_v4d(const double* p) {
    v4d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
QV_INLINE v4d load_v4f_as_v4d(const float* p) {
    v4f v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, v4d);
}

}  // namespace radio_dsp

// Not under ThreadSanitizer: its runtime is not up yet when the loader runs
// the clone resolvers, and the test programs crash at start.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define QV_SIMD_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define QV_SIMD_CLONES
#endif
