// Windowed, segment-averaged power spectrum over FFTW 3, zero frequency in
// the middle. Called only from the GUI thread (FFTW planning is not
// thread-safe and nothing else plans transforms concurrently).
#pragma once

#include <complex>
#include <cstdint>
#include <memory>

namespace radio_dsp {

// Weight of sample n of an N-point window.
using WindowFunction = double (*)(int n, int N);

double rectangular_window(int n, int N);  // 1.0 for every n
// 0.42 - 0.5 cos(2 pi n/(N-1)) + 0.08 cos(4 pi n/(N-1)); 0 when N < 2.
double blackman_window(int n, int N);

class SpectrumEstimator {
  public:
    SpectrumEstimator();
    ~SpectrumEstimator();
    SpectrumEstimator(const SpectrumEstimator&) = delete;
    SpectrumEstimator& operator=(const SpectrumEstimator&) = delete;

    // Input: rows x row_length complex values. Result: N powers (|X|^2 of the
    // unnormalised forward transform), bins N/2.. first, then 0..N/2-1,
    // averaged over rows and segments; segments are spread evenly over each
    // row. Returns 0, or -22 (result unchanged) when N < 1, rows < 1,
    // segments < 1 or row_length < N. The result stays valid until the next
    // compute. The FFTW plan, buffers and window weights are kept between calls
    // and rebuilt only when N or the window changes.
    int compute(const std::complex<double>* input);
    // compute with the input given as interleaved 16-bit I/Q frames, each
    // frame the complex value (I, Q): the same result, without a copy of the
    // block as doubles.
    int compute_frames(const int16_t* iq);

    // Plans the transform for the current N now, choosing its algorithm by
    // timing candidates (FFTW_MEASURE, some 60 ms) instead of by estimate as
    // compute does otherwise, and so for any N set later. FFTW keeps the
    // choice for the life of the process, and every later plan of this size,
    // in any estimator, takes it: all give the same numbers, and only the
    // first pays. Call before the first compute (start-up, not the GUI's
    // processing run). Returns 0, or -22 when N < 1 or there is no window.
    int plan_measured();

    // nullptr before the first successful compute.
    const double* result() const { return has_result_ ? result_.get() : nullptr; }

    // The transform in single precision (FFTW's float plans, about half the
    // time), for a display: each power is then good to some 1e-6 of the
    // largest one in the segment rather than to some 1e-15. Takes effect at
    // the next compute or plan_measured.
    bool single_precision = false;

    int row_length = 4096;
    int rows = 1;
    int N = 4096;
    uint8_t segments = 1;
    WindowFunction window = rectangular_window;

  private:
    struct Fft;
    void prepare();
    template <class Input>
    int compute_input(const Input* input);

    std::unique_ptr<Fft> fft_;
    std::unique_ptr<double[]> result_;
    std::unique_ptr<double[]> weights_;
    std::unique_ptr<float[]> weights_single_;  // weights_ rounded to float
    int planned_n_ = 0;
    bool measure_ = false;           // plan_measured() was called
    bool planned_measured_ = false;  // the plan in fft_ was measured
    bool planned_single_ = false;    // the plan in fft_ is single precision
    WindowFunction weights_window_ = nullptr;
    bool has_result_ = false;
};

}  // namespace radio_dsp
