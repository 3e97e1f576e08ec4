// The kernel and the window built from their rules. The kernel repeats
// tools/design_resampler_kernel.py step by step, every sum in the script's
// order, so that it has the script's bits and the audio stays the same.
#include "resampler_kernel.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace radio_dsp {
namespace {

constexpr int kSmoothingPasses = 4;
constexpr double kPi = 3.14159265358979323846;

// Full convolution with kResamplerPhases taps of 1 / kResamplerPhases: each
// output adds its inputs from the lowest index up, starting from 0 (the zeros
// around x add nothing). Adding one shifted copy at a time keeps that order.
std::vector<double> moving_average(const std::vector<double>& x) {
    const int len = static_cast<int>(x.size()) + kResamplerPhases - 1;
    std::vector<double> padded(len + kResamplerPhases - 1, 0.0);
    for (size_t m = 0; m < x.size(); ++m) padded[m + kResamplerPhases - 1] = x[m];
    std::vector<double> out(len, 0.0);
    for (int d = 0; d < kResamplerPhases; ++d)
        for (int i = 0; i < len; ++i) out[i] += padded[d + i] * (1.0 / kResamplerPhases);
    return out;
}

// Sum of one phase (8 to 128 entries, `stride` apart): eight running sums
// over the whole groups of eight, added in pairs, then the rest one by one.
double phase_sum(const double* v, int n, int stride) {
    double r[8];
    for (int j = 0; j < 8; ++j) r[j] = v[j * stride];
    const int whole = n - n % 8;
    for (int i = 8; i < whole; i += 8)
        for (int j = 0; j < 8; ++j) r[j] += v[(i + j) * stride];
    double total = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (int i = whole; i < n; ++i) total += v[i * stride];
    return total;
}

const double* build_kernel() {
    std::vector<double> k((kResamplerPrototypeTaps - 1) * kResamplerPhases + 1, 0.0);
    for (int i = 0; i < kResamplerPrototypeTaps; ++i)
        k[i * kResamplerPhases] = resampler_prototype[i];
    for (int pass = 0; pass < kSmoothingPasses; ++pass) k = moving_average(k);
    // Leaked on purpose: a constant table for the life of the process.
    auto* kernel = new double[kResamplerKernelLength];
    const int last = kResamplerKernelLength - 1;
    for (int i = 0; i <= last; ++i) kernel[i] = 0.5 * (k[i] + k[last - i]);  // exact symmetry
    // Unity DC gain in every phase. Phase p mirrors phase (252 - p) mod 256;
    // both are divided by the same sum so the symmetry stays exact.
    double sums[kResamplerPhases];
    for (int ph = 0; ph < kResamplerPhases; ++ph)
        sums[ph] = phase_sum(kernel + ph, (last - ph) / kResamplerPhases + 1, kResamplerPhases);
    for (int ph = 0; ph < kResamplerPhases; ++ph) {
        const double divisor = sums[std::min(ph, (last - ph) % kResamplerPhases)];
        for (int i = ph; i <= last; i += kResamplerPhases) kernel[i] /= divisor;
    }
    return kernel;
}

}  // namespace

const double* resampler_kernel() {
    static const double* const kernel = build_kernel();
    return kernel;
}

const double* blackman_half_window() {
    static const double* const window = [] {
        // Leaked on purpose, like the kernel.
        auto* w = new double[kBlackmanHalfLength];
        for (int n = 0; n < kBlackmanHalfLength; ++n)
            w[n] = 0.42 - 0.5 * std::cos(2 * kPi * n / 4095) + 0.08 * std::cos(4 * kPi * n / 4095);
        return w;
    }();
    return window;
}

}  // namespace radio_dsp
