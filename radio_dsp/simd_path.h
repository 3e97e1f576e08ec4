// The compiled form the hot loops take. Each hot loop exists twice: for AVX2
// with FMA (x86-64-v3, written with intrinsics) and for the baseline x86-64
// (SSE2). The AVX2 form runs when the CPU has both, checked at run time, so
// one build runs on any x86-64.
#pragma once

namespace radio_dsp {

enum class SimdPath {
    kBaseline,  // SSE2, any x86-64 (or the compiler's generic code elsewhere)
    kAvx2,      // AVX2 and FMA
};

// The form the hot loops take now: kAvx2 when the CPU has AVX2 and FMA and
// the baseline is not forced. Cheap; any thread may call.
SimdPath simd_path();
// Forces the baseline form (true) or goes back to the CPU's best (false), so
// tests can run the fallback on any machine. Not for use while another thread
// runs the DSP.
void force_baseline_simd(bool force);

}  // namespace radio_dsp
