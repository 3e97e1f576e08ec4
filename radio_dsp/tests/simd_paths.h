// Runs a test body in each compiled form of the hot loops: the CPU's best
// (AVX2 where the CPU has it) and the baseline forced, so the fallback is
// tested on any machine.
#pragma once

#include <gtest/gtest.h>

#include "simd_path.h"

namespace radio_dsp {

template <class Body>
void for_each_simd_path(Body body) {
    for (const bool baseline : {false, true}) {
        SCOPED_TRACE(baseline ? "baseline form" : "the CPU's best form");
        force_baseline_simd(baseline);
        if (baseline) {
            EXPECT_EQ(simd_path(), SimdPath::kBaseline);
        } else {
#if defined(__x86_64__) && defined(__GNUC__)
            const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
            EXPECT_EQ(simd_path(), avx2 ? SimdPath::kAvx2 : SimdPath::kBaseline);
#endif
        }
        body();
    }
    force_baseline_simd(false);
}

}  // namespace radio_dsp
