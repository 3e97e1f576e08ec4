#include "power_spectrum_estimator.h"

#include <fftw3.h>

#include <cmath>

namespace radio_dsp {

double rectangular_window(int, int) { return 1.0; }

double blackman_window(int n, int N) {
    if (N < 2) return 0.0;
    const double pi = 3.14159265358979323846;
    return 0.42 - 0.5 * std::cos(2 * pi * n / (N - 1)) + 0.08 * std::cos(4 * pi * n / (N - 1));
}

struct SpectrumEstimator::Fft {
    explicit Fft(int n)
        : in(static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * n))),
          out(static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * n))),
          plan(fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_ESTIMATE)) {}
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

void SpectrumEstimator::prepare() {
    if (planned_n_ != N) {
        fft_.reset();  // destroy the old plan before planning anew
        fft_ = std::make_unique<Fft>(N);
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

int SpectrumEstimator::compute(const std::complex<double>* input) {
    if (N < 1 || rows < 1 || segments < 1 || row_length < N || window == nullptr) return -22;
    prepare();
    double* result = result_.get();
    for (int i = 0; i < N; ++i) result[i] = 0.0;
    const double* w = weights_.get();
    fftw_complex* in = fft_->in;
    const fftw_complex* out = fft_->out;
    const double scale = 1.0 / (segments * rows);
    const int half = N / 2;
    for (int r = 0; r < rows; ++r)
        for (int s = 0; s < segments; ++s) {
            const long offset =
                segments == 1 ? 0 : static_cast<long>(row_length - N) * s / (segments - 1);
            const std::complex<double>* x = input + static_cast<long>(r) * row_length + offset;
            for (int n = 0; n < N; ++n) {
                in[n][0] = w[n] * x[n].real();
                in[n][1] = w[n] * x[n].imag();
            }
            fftw_execute(fft_->plan);
            for (int i = 0; i < half; ++i) {
                const double* a = out[i + half];
                const double* b = out[i];
                result[i] += scale * (a[0] * a[0] + a[1] * a[1]);
                result[i + half] += scale * (b[0] * b[0] + b[1] * b[1]);
            }
        }
    has_result_ = true;
    return 0;
}

}  // namespace radio_dsp
