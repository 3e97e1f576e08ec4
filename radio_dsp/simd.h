// Vector helpers of the hot loops, internal to radio_dsp (their 32-byte
// vectors change the calling convention with and without AVX, so they stay
// inlined in this library's sources). simd_path.h chooses the compiled form.
#pragma once

#include <cstring>

#include "simd_path.h"

// Vector helpers must be inlined into their callers: an out-of-line call
// would pass 32-byte vectors by a different convention with and without AVX.
#define QV_INLINE inline __attribute__((always_inline))

#if defined(__x86_64__) && defined(__GNUC__)
#define QV_HAVE_AVX2_PATH 1
// Functions of the AVX2 form; they are called only when simd_path() says so.
#define QV_TARGET_AVX2 __attribute__((target("avx2,fma")))
#else
#define QV_HAVE_AVX2_PATH 0
#endif

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
