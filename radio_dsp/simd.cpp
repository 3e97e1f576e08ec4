#include "simd.h"

#include <atomic>

namespace radio_dsp {
namespace {

std::atomic<bool> forced_baseline{false};

bool cpu_has_avx2() {
#if QV_HAVE_AVX2_PATH
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return has;
#else
    return false;
#endif
}

}  // namespace

SimdPath simd_path() {
    return !forced_baseline.load(std::memory_order_relaxed) && cpu_has_avx2() ? SimdPath::kAvx2
                                                                              : SimdPath::kBaseline;
}

void force_baseline_simd(bool force) { forced_baseline.store(force, std::memory_order_relaxed); }

}  // namespace radio_dsp
