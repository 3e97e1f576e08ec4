// Constant tables of the radio signal path, shared by qv01_fm and tunerdesk.
// Each is built from its rule at the first call and never changes afterwards;
// any thread may call (the first call builds under the static initialisation
// guard), and the pointers stay valid for the life of the process.
#pragma once

namespace radio_dsp {

// 119-tap linear-phase prototype of the resampler kernel at the demodulated
// rate: 75 us de-emphasis and audio low-pass, sum 256. Designed by
// tools/design_resampler_kernel.py (resampler_prototype.cpp is its output).
constexpr int kResamplerPrototypeTaps = 119;
extern const double resampler_prototype[kResamplerPrototypeTaps];

// 256-phase resampler kernel on a grid 256 times finer than the demodulated
// samples: the prototype smoothed by four 256-point moving averages, each
// phase divided by its sum, in the design script's arithmetic order (the same
// bits). >= 80 dB down from 19 kHz at 203.7 kHz input. Symmetric about
// kResamplerKernelCentre; each phase (entries ph, ph + 256, ...) sums to 1.
// The first call takes a few milliseconds.
constexpr int kResamplerPhases = 256;
constexpr int kResamplerKernelLength = 31229;
constexpr int kResamplerKernelCentre = 15614;
const double* resampler_kernel();

// First half of the 4096-point Blackman window that weights the AFC sum,
// 0.42 - 0.5 cos(2 pi n / 4095) + 0.08 cos(4 pi n / 4095); the second half is
// its mirror image. Full sum 1719.9.
constexpr int kBlackmanHalfLength = 2048;
const double* blackman_half_window();

}  // namespace radio_dsp
