#include "demod_ring.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "resampler_kernel.h"
#include "simd.h"

#if QV_HAVE_AVX2_PATH
#include <immintrin.h>
#endif

namespace radio_dsp {

DemodRing::DemodRing() : data_(new float[kDemodRingSize + kRingMirror]()) {}

void DemodRing::push_block(const float* v, int n) {
    float* d = data_.get();
    const int first = std::min(n, kDemodRingSize - write_index);
    std::memcpy(d + write_index, v, sizeof(float) * first);
    std::memcpy(d, v + first, sizeof(float) * (n - first));
    // Refresh the mirrored head if this block wrote into it.
    if (write_index < kRingMirror || n - first > 0)
        std::memcpy(d + kDemodRingSize, d, sizeof(float) * kRingMirror);
    write_index = static_cast<uint16_t>(write_index + n);
}

void DemodRing::commit_block(int n) {
    float* d = data_.get();
    if (write_index < kRingMirror)
        std::memcpy(d + kDemodRingSize + write_index, d + write_index,
                    sizeof(float) * std::min(n, kRingMirror - write_index));
    write_index = static_cast<uint16_t>(write_index + n);
}

const double* phase_kernel_table() {
    static const double* table = [] {
        // Leaked on purpose: a constant table for the life of the process. Rows
        // start on cache lines, so no vector load of a row splits one.
        auto* t = new (std::align_val_t(64)) double[kResamplerPhases * kRingMirror]();
        const double* kernel = resampler_kernel();
        for (int p = 0; p < kResamplerPhases; ++p)
            for (int j = 0; j < kRingMirror; ++j) {
                const int k = p + kResamplerPhases * j;
                t[p * kRingMirror + j] = k < kResamplerKernelLength ? kernel[k] : 0.0;
            }
        return t;
    }();
    return table;
}

Resampler::Resampler(RateMatchParams params)
    : step(params.nominal_step),
      upper_threshold(params.upper_threshold),
      lower_threshold(params.lower_threshold),
      params_(params),
      phase_kernel_(phase_kernel_table()) {}

int Resampler::guard_correction(int avail) {
    int change = 0;
    if (avail < lower_threshold) {
        change = -(1 + (params_.lower_threshold - avail) / params_.divisor);
        lower_threshold = avail - kThresholdHysteresis;
        upper_threshold = params_.upper_threshold;
    }
    if (avail > upper_threshold) {
        change = 1 + (avail - params_.upper_threshold) / params_.divisor;
        upper_threshold = avail + kThresholdHysteresis;
        lower_threshold = params_.lower_threshold;
    }
    return change;
}

void Resampler::set_ratio(double steps) {
    const double whole = std::floor(steps);
    double fraction = std::round((steps - whole) * 4294967296.0);
    step = static_cast<int>(whole);
    if (fraction >= 4294967296.0) {
        ++step;
        fraction = 0.0;
    }
    step_fraction = static_cast<uint32_t>(fraction);
}

uint16_t Resampler::tap_position(int frame) const {
    const uint64_t fine = (uint64_t(phase_accumulator) << 32 | phase_fraction) +
                          uint64_t(frame) * (uint64_t(uint32_t(step)) << 32 | step_fraction);
    return static_cast<uint16_t>(fine >> 40);
}

namespace {

// Taps of the dot product: the longest window (122) rounded up to whole
// 4-lane vectors; the kernel rows are zero past the kernel's end.
constexpr int kDotTaps = 124;
static_assert(kDotTaps >= kResamplerTaps && kDotTaps % 4 == 0 && kDotTaps <= kRingMirror);

// Baseline form. Per frame: dot product of the ring entries (float) with the
// taps (double), accumulated in double.
void resample_frames(const float* ring, const double* kernel, uint32_t acc, uint32_t frac, int step,
                     uint32_t step_frac, int16_t* out, int frames, int right_mask,
                     uint16_t* read_index) {
    uint16_t pos = 0;
    for (int i = 0; i < frames; ++i) {
        pos = static_cast<uint16_t>(acc >> 8);
        const int ph = 255 - static_cast<int>(acc & 0xFF);
        const float* x = ring + pos;
        const double* k = kernel + ph * kRingMirror;
        // Four independent sums keep the adds from waiting on each other.
        v4d s0 = {0, 0, 0, 0}, s1 = s0, s2 = s0, s3 = s0;
        for (int j = 0; j < kRingMirror; j += 16) {
            s0 += load_v4f_as_v4d(x + j) * load_v4d(k + j);
            s1 += load_v4f_as_v4d(x + j + 4) * load_v4d(k + j + 4);
            s2 += load_v4f_as_v4d(x + j + 8) * load_v4d(k + j + 8);
            s3 += load_v4f_as_v4d(x + j + 12) * load_v4d(k + j + 12);
        }
        const v4d s = (s0 + s1) + (s2 + s3);
        const int16_t y = pcm_from_phase_sum((s[0] + s[2]) + (s[1] + s[3]));
        out[2 * i] = y;
        out[2 * i + 1] = static_cast<int16_t>(y & right_mask);
        frac += step_frac;
        acc += static_cast<uint32_t>(step) + (frac < step_frac ? 1u : 0u);  // carry of the fraction
    }
    if (frames > 0) *read_index = pos;
}

#if QV_HAVE_AVX2_PATH
// s + four ring entries x four taps: the floats widened to doubles in one
// instruction, multiplied and added in one rounding (FMA).
QV_TARGET_AVX2 QV_INLINE __m256d tap4(const float* x, const double* k, __m256d s) {
    return _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(x)), _mm256_load_pd(k), s);
}

// AVX2 form of resample_frames.
QV_TARGET_AVX2
void resample_frames_avx2(const float* ring, const double* kernel, uint32_t acc, uint32_t frac,
                          int step, uint32_t step_frac, int16_t* out, int frames, int right_mask,
                          uint16_t* read_index) {
    uint16_t pos = 0;
    for (int i = 0; i < frames; ++i) {
        pos = static_cast<uint16_t>(acc >> 8);
        const int ph = 255 - static_cast<int>(acc & 0xFF);
        const float* x = ring + pos;
        const double* k = kernel + ph * kRingMirror;
        __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
        int j = 0;
        for (; j + 16 <= kDotTaps; j += 16) {
            s0 = tap4(x + j, k + j, s0);
            s1 = tap4(x + j + 4, k + j + 4, s1);
            s2 = tap4(x + j + 8, k + j + 8, s2);
            s3 = tap4(x + j + 12, k + j + 12, s3);
        }
        if (j < kDotTaps) s0 = tap4(x + j, k + j, s0);
        if (j + 4 < kDotTaps) s1 = tap4(x + j + 4, k + j + 4, s1);
        if (j + 8 < kDotTaps) s2 = tap4(x + j + 8, k + j + 8, s2);
        const __m256d s = _mm256_add_pd(_mm256_add_pd(s0, s1), _mm256_add_pd(s2, s3));
        const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
        const int16_t y = pcm_from_phase_sum(_mm_cvtsd_f64(_mm_add_sd(h, _mm_unpackhi_pd(h, h))));
        out[2 * i] = y;
        out[2 * i + 1] = static_cast<int16_t>(y & right_mask);
        frac += step_frac;
        acc += static_cast<uint32_t>(step) + (frac < step_frac ? 1u : 0u);
    }
    if (frames > 0) *read_index = pos;
}
#endif

}  // namespace

void Resampler::resample(DemodRing& ring, int16_t* out, int frames, ChannelLayout layout) {
    const int right_mask = layout == ChannelLayout::kMonoBoth ? -1 : 0;
#if QV_HAVE_AVX2_PATH
    if (simd_path() == SimdPath::kAvx2)
        resample_frames_avx2(ring.window(0), phase_kernel_, phase_accumulator, phase_fraction, step,
                             step_fraction, out, frames, right_mask, &ring.read_index);
    else
#endif
        resample_frames(ring.window(0), phase_kernel_, phase_accumulator, phase_fraction, step,
                        step_fraction, out, frames, right_mask, &ring.read_index);
    if (frames <= 0) return;
    const uint64_t fine = (uint64_t(phase_accumulator) << 32 | phase_fraction) +
                          uint64_t(frames) * (uint64_t(uint32_t(step)) << 32 | step_fraction);
    phase_accumulator = static_cast<uint32_t>(fine >> 32);
    phase_fraction = static_cast<uint32_t>(fine);
}

}  // namespace radio_dsp
