#include "power_spectrum_estimator.h"

#include <fftw3.h>

#include <cmath>

#include "simd.h"

namespace radio_dsp {
namespace {

// The windowed segment into the transform's input.
QV_INLINE void apply_window(const double* w, const std::complex<double>* x, fftw_complex* in,
                            int n) {
    for (int k = 0; k < n; ++k) {
        in[k][0] = w[k] * x[k].real();
        in[k][1] = w[k] * x[k].imag();
    }
}

// Adds scale |X|^2 to the result, zero frequency in the middle. With `only`
// (one periodogram, scale 1) it writes instead: 0 + 1 x p is p.
QV_INLINE void add_power(const fftw_complex* out, double* result, int n, double scale, bool only) {
    const int half = n / 2;
    if (only) {
        for (int i = 0; i < half; ++i) {
            result[i] = out[i + half][0] * out[i + half][0] + out[i + half][1] * out[i + half][1];
            result[i + half] = out[i][0] * out[i][0] + out[i][1] * out[i][1];
        }
        return;
    }
    for (int i = 0; i < half; ++i) {
        const double* a = out[i + half];
        const double* b = out[i];
        result[i] += scale * (a[0] * a[0] + a[1] * a[1]);
        result[i + half] += scale * (b[0] * b[0] + b[1] * b[1]);
    }
}

// The same from 16-bit I/Q frames (each value exact as a double, so the
// same products).
QV_INLINE void apply_window(const double* w, const int16_t* iq, fftw_complex* in, int n) {
    for (int k = 0; k < n; ++k) {
        in[k][0] = w[k] * iq[2 * k];
        in[k][1] = w[k] * iq[2 * k + 1];
    }
}

// Where row r's segment starts, for either input.
const std::complex<double>* advance(const std::complex<double>* x, long frames) {
    return x + frames;
}
const int16_t* advance(const int16_t* iq, long frames) { return iq + 2 * frames; }

template <class Input>
void apply_window_baseline(const double* w, const Input* x, fftw_complex* in, int n) {
    apply_window(w, x, in, n);
}
void add_power_baseline(const fftw_complex* out, double* result, int n, double scale, bool only) {
    add_power(out, result, n, scale, only);
}

#if QV_HAVE_AVX2_PATH
// The same operations (no fused multiply-adds), four lanes per instruction.
template <class Input>
QV_TARGET_AVX2 void apply_window_avx2(const double* w, const Input* x, fftw_complex* in, int n) {
    apply_window(w, x, in, n);
}
QV_TARGET_AVX2 void add_power_avx2(const fftw_complex* out, double* result, int n, double scale,
                                   bool only) {
    add_power(out, result, n, scale, only);
}
#endif

}  // namespace

double rectangular_window(int, int) { return 1.0; }

double blackman_window(int n, int N) {
    if (N < 2) return 0.0;
    const double pi = 3.14159265358979323846;
    return 0.42 - 0.5 * std::cos(2 * pi * n / (N - 1)) + 0.08 * std::cos(4 * pi * n / (N - 1));
}

struct SpectrumEstimator::Fft {
    // Measuring overwrites in and out; nothing is in them yet.
    Fft(int n, unsigned flags)
        : in(static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * n))),
          out(static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * n))),
          plan(fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, flags)) {}
    ~Fft() {
        fftw_destroy_plan(plan);
        fftw_free(out);
        fftw_free(in);
    }
    Fft(const Fft&) = delete;
    Fft& operator=(const Fft&) = delete;

    fftw_complex* in;
    fftw_complex* out;
    fftw_plan plan;
};

SpectrumEstimator::SpectrumEstimator() = default;
SpectrumEstimator::~SpectrumEstimator() = default;

int SpectrumEstimator::plan_measured() {
    if (N < 1 || window == nullptr) return -22;
    measure_ = true;
    prepare();
    return 0;
}

void SpectrumEstimator::prepare() {
    if (planned_n_ != N || planned_measured_ != measure_) {
        fft_.reset();  // destroy the old plan before planning anew
        // Measured without the solvers that copy through a second buffer:
        // their candidates triple the planning time (some 200 ms for 4096
        // points) for no faster plan, and without them later estimated plans
        // of the size still take the measured one.
        fft_ =
            std::make_unique<Fft>(N, measure_ ? FFTW_MEASURE | FFTW_NO_INDIRECT_OP : FFTW_ESTIMATE);
        planned_measured_ = measure_;
        result_.reset(new double[N]);
        weights_.reset(new double[N]);
        planned_n_ = N;
        weights_window_ = nullptr;
        has_result_ = false;
    }
    if (weights_window_ != window) {
        for (int n = 0; n < N; ++n) weights_[n] = window(n, N);
        weights_window_ = window;
    }
}

int SpectrumEstimator::compute(const std::complex<double>* input) { return compute_input(input); }

int SpectrumEstimator::compute_frames(const int16_t* iq) { return compute_input(iq); }

template <class Input>
int SpectrumEstimator::compute_input(const Input* input) {
    if (N < 1 || rows < 1 || segments < 1 || row_length < N || window == nullptr) return -22;
    prepare();
    auto window_pass = apply_window_baseline<Input>;
    auto power_pass = add_power_baseline;
#if QV_HAVE_AVX2_PATH
    if (simd_path() == SimdPath::kAvx2) {
        window_pass = apply_window_avx2<Input>;
        power_pass = add_power_avx2;
    }
#endif
    double* result = result_.get();
    // One periodogram (the radio's case) is written, not added to zeros.
    const bool only = rows == 1 && segments == 1;
    if (!only)
        for (int i = 0; i < N; ++i) result[i] = 0.0;
    else if (N % 2 == 1)
        result[N - 1] = 0.0;  // an odd transform's last bin has no place in the halves
    const double scale = 1.0 / (segments * rows);
    for (int r = 0; r < rows; ++r)
        for (int s = 0; s < segments; ++s) {
            const long offset =
                segments == 1 ? 0 : static_cast<long>(row_length - N) * s / (segments - 1);
            window_pass(weights_.get(), advance(input, static_cast<long>(r) * row_length + offset),
                        fft_->in, N);
            fftw_execute(fft_->plan);
            power_pass(fft_->out, result, N, scale, only);
        }
    has_result_ = true;
    return 0;
}

}  // namespace radio_dsp
