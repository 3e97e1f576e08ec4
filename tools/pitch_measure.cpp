#include "pitch_measure.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>

namespace qvtools {
namespace {

constexpr double kSearchSpan = 0.20;   // tone searched within +-20 % of the expected frequency
constexpr double kBandSpan = 0.03;     // tone band +-3 % around its peak
constexpr double kMinToneShare = 0.2;  // of the power from 20 Hz to 15 kHz
constexpr double kLowHz = 20.0;
constexpr double kHighHz = 15000.0;
constexpr double kSilentDbfs = -60.0;
constexpr int kPad = 4;  // zero padding of the coarse search

// Power of the windowed window at frequency f (cycles per sample), by a direct
// transform; the rotating phasor is renewed every 1024 samples to keep it exact.
double power_at(const std::vector<double>& xw, double f) {
    const double w = -2.0 * M_PI * f;
    const std::complex<double> rot(std::cos(w), std::sin(w));
    std::complex<double> acc(0.0, 0.0), ph;
    for (size_t n = 0; n < xw.size(); ++n) {
        if (n % 1024 == 0) ph = std::polar(1.0, w * double(n));
        acc += xw[n] * ph;
        ph *= rot;
    }
    return std::norm(acc);
}

}  // namespace

int measure_pitch(const Pcm& pcm, int channel, double expect_hz, double window_s,
                  std::vector<PitchWindow>& out) {
    out.clear();
    if (pcm.rate_hz <= 0 || channel < 0 || channel >= pcm.channels || !(expect_hz > 0.0) ||
        !(window_s > 0.0) || expect_hz * (1 + kSearchSpan) >= pcm.rate_hz / 2.0)
        return -22;
    const size_t n = static_cast<size_t>(std::lround(window_s * pcm.rate_hz));
    const size_t frames = pcm.samples.size() / pcm.channels;
    if (n < 64) return -22;
    size_t m = 1;
    while (m < kPad * n) m <<= 1;

    // 4-term Blackman-Harris: side lobes below -92 dB keep a second tone out.
    std::vector<double> w(n);
    for (size_t k = 0; k < n; ++k) {
        const double a = 2.0 * M_PI * double(k) / double(n);
        w[k] =
            0.35875 - 0.48829 * std::cos(a) + 0.14128 * std::cos(2 * a) - 0.01168 * std::cos(3 * a);
    }
    double* in = fftw_alloc_real(m);
    fftw_complex* spec = fftw_alloc_complex(m / 2 + 1);
    fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(m), in, spec, FFTW_ESTIMATE);
    std::vector<double> xw(n), psd(m / 2 + 1);
    const double bin_hz = double(pcm.rate_hz) / double(m);
    auto bin_of = [&](double hz) {
        return std::clamp(static_cast<long>(std::lround(hz / bin_hz)), 0L, long(m / 2));
    };

    for (size_t s = 0; s + n <= frames; s += n) {
        PitchWindow pw;
        pw.start_s = double(s) / pcm.rate_hz;
        double e = 0.0;
        for (size_t k = 0; k < n; ++k) {
            const double v = pcm.samples[(s + k) * pcm.channels + channel];
            e += v * v;
            xw[k] = v * w[k];
        }
        pw.level_dbfs = 10.0 * std::log10(std::max(e / double(n), 1e-30) / (32767.0 * 32767.0));
        if (pw.level_dbfs < kSilentDbfs) {
            out.push_back(pw);
            continue;
        }
        std::copy(xw.begin(), xw.end(), in);
        std::fill(in + n, in + m, 0.0);
        fftw_execute(plan);
        for (size_t k = 0; k <= m / 2; ++k)
            psd[k] = spec[k][0] * spec[k][0] + spec[k][1] * spec[k][1];
        long peak = bin_of(expect_hz * (1 - kSearchSpan));
        for (long k = peak, hi = bin_of(expect_hz * (1 + kSearchSpan)); k <= hi; ++k)
            if (psd[k] > psd[peak]) peak = k;
        const double peak_hz = double(peak) * bin_hz;
        double band = 0.0, total = 0.0;
        for (long k = bin_of(kLowHz), hi = bin_of(kHighHz); k <= hi; ++k) total += psd[k];
        for (long k = bin_of(peak_hz * (1 - kBandSpan)), hi = bin_of(peak_hz * (1 + kBandSpan));
             k <= hi; ++k)
            band += psd[k];
        if (!(total > 0.0) || band < kMinToneShare * total) {
            out.push_back(pw);
            continue;
        }
        // Golden-section search of the transform's maximum within +-2 bins of
        // the padded peak (well inside the window's main lobe).
        const double g = (std::sqrt(5.0) - 1.0) / 2.0;
        double a = (peak - 2) * bin_hz / pcm.rate_hz, b = (peak + 2) * bin_hz / pcm.rate_hz;
        double c = b - g * (b - a), d = a + g * (b - a);
        double pc = power_at(xw, c), pd = power_at(xw, d);
        while ((b - a) * pcm.rate_hz > 1e-8 * expect_hz) {  // to 0.01 ppm
            if (pc > pd) {
                b = d;
                d = c;
                pd = pc;
                c = b - g * (b - a);
                pc = power_at(xw, c);
            } else {
                a = c;
                c = d;
                pc = pd;
                d = a + g * (b - a);
                pd = power_at(xw, d);
            }
        }
        pw.tone = true;
        pw.frequency_hz = 0.5 * (a + b) * pcm.rate_hz;
        pw.error_ppm = (pw.frequency_hz / expect_hz - 1.0) * 1e6;
        out.push_back(pw);
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(spec);
    return 0;
}

PitchSummary summarise_pitch(const std::vector<PitchWindow>& windows, double skip_s) {
    PitchSummary sum;
    for (const PitchWindow& w : windows)
        if (w.tone) {
            sum.first_tone_s = w.start_s;
            break;
        }
    if (sum.first_tone_s < 0) return sum;
    std::vector<double> abs_err;
    double total = 0.0;
    for (const PitchWindow& w : windows) {
        if (w.start_s < sum.first_tone_s + skip_s - 1e-9) continue;
        if (!w.tone) {
            ++sum.gaps;
            continue;
        }
        abs_err.push_back(std::fabs(w.error_ppm));
        total += w.error_ppm;
    }
    sum.windows = static_cast<int>(abs_err.size());
    if (abs_err.empty()) return sum;
    sum.mean_ppm = total / double(abs_err.size());
    sum.max_abs_ppm = *std::max_element(abs_err.begin(), abs_err.end());
    const size_t mid = abs_err.size() / 2;
    std::nth_element(abs_err.begin(), abs_err.begin() + mid, abs_err.end());
    sum.median_abs_ppm = abs_err[mid];
    if (abs_err.size() % 2 == 0)
        sum.median_abs_ppm =
            0.5 * (sum.median_abs_ppm + *std::max_element(abs_err.begin(), abs_err.begin() + mid));
    return sum;
}

}  // namespace qvtools
