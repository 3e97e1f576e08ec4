// Straight-line implementation of the processing rules, one frame at a time:
// complex division and atan2f per sample, the stride-256 kernel read modulo
// the ring per output frame, a new FFTW plan per spectrum (the window's
// weights computed once, as any plain code would). It is the yardstick
// the optimised classes are tested and benchmarked against; the front-ends do
// not use it.
#pragma once

#include <fftw3.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "constellation_image.h"
#include "demod_ring.h"
#include "power_spectrum_estimator.h"
#include "resampler_kernel.h"

namespace radio_dsp {
namespace reference {

struct Discriminator {
    std::complex<float> previous{1.0f, 0.0f};
    double mean_magnitude = 0.0;

    // 4096 frames into ring[65536] at write_index.
    void demodulate_block(const int16_t* iq, float* ring, uint16_t& write_index,
                          ConstellationImage* image, bool delta,
                          std::complex<double>* spectrum_input) {
        for (int k = 0; k < 4096; ++k) {
            const int16_t i = iq[2 * k], q = iq[2 * k + 1];
            if (spectrum_input) spectrum_input[k] = std::complex<double>(i, q);
            const std::complex<float> z(i, q);
            const float m = std::abs(z);
            mean_magnitude = 0.0001 * m + 0.9999 * mean_magnitude;
            if (i == 0 && q == 0) {
                ring[write_index] = ring[static_cast<uint16_t>(write_index - 1)];
            } else {
                const std::complex<float> r = z / previous;
                ring[write_index] = std::atan2(r.imag(), r.real());
                if (image && delta) image->plot_rotation(r.real(), r.imag());
                previous = z;
            }
            if (image && !delta) image->plot_raw(i, q, m > mean_magnitude);
            ++write_index;
        }
    }
};

// frames stereo frames from ring[65536]; the kernel read at stride 256.
inline void resample(const float* ring, uint32_t& acc, int step, int16_t* out, int frames,
                     bool left_only, uint16_t& read_index) {
    const double* kernel = resampler_kernel();
    for (int f = 0; f < frames; ++f) {
        const uint32_t pos = acc >> 8;
        const int ph = 255 - static_cast<int>(acc & 0xFF);
        read_index = static_cast<uint16_t>(pos);
        double x = 0.0;
        for (int j = 0; ph + 256 * j < kResamplerKernelLength; ++j)
            x += ring[(pos + j) % 65536] * kernel[ph + 256 * j];
        double y = 13000.0 * x;
        if (y > 32767) y = 32767;
        if (y < -32767) y = -32767;
        out[2 * f] = static_cast<int16_t>(y);
        out[2 * f + 1] = left_only ? 0 : static_cast<int16_t>(y);
        acc += static_cast<uint32_t>(step);
    }
}

// Windowed periodogram averaged over rows and segments, with buffers and a
// plan made and released on every call; weights[n] is the window's weight of
// sample n (computed once by the caller, as plain code would).
inline void spectrum(const std::complex<double>* input, int row_length, int rows, int N,
                     int segments, const double* weights, double* result) {
    for (int i = 0; i < N; ++i) result[i] = 0.0;
    auto* in = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * N));
    auto* out = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * N));
    const double scale = 1.0 / (segments * rows);
    for (int r = 0; r < rows; ++r)
        for (int s = 0; s < segments; ++s) {
            const long offset =
                segments == 1 ? 0 : static_cast<long>(row_length - N) * s / (segments - 1);
            for (int n = 0; n < N; ++n) {
                const double w = weights[n];
                in[n][0] = w * input[r * row_length + offset + n].real();
                in[n][1] = w * input[r * row_length + offset + n].imag();
            }
            fftw_plan plan = fftw_plan_dft_1d(N, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
            fftw_execute(plan);
            fftw_destroy_plan(plan);
            for (int i = 0; i < N / 2; ++i) {
                result[i] += scale * (out[i + N / 2][0] * out[i + N / 2][0] +
                                      out[i + N / 2][1] * out[i + N / 2][1]);
                result[i + N / 2] += scale * (out[i][0] * out[i][0] + out[i][1] * out[i][1]);
            }
        }
    fftw_free(in);
    fftw_free(out);
}

// The same with the window given as a function.
inline void spectrum(const std::complex<double>* input, int row_length, int rows, int N,
                     int segments, WindowFunction window, double* result) {
    std::vector<double> weights(N);
    for (int n = 0; n < N; ++n) weights[n] = window(n, N);
    spectrum(input, row_length, rows, N, segments, weights.data(), result);
}

}  // namespace reference
}  // namespace radio_dsp
