#include "power_spectrum_estimator.h"

#include <fftw3.h>

#include <cmath>
#include <type_traits>
#include <utility>

#include "simd.h"

#if QV_HAVE_AVX2_PATH
#include <immintrin.h>
#endif

namespace radio_dsp {
namespace {

// The transform's complex values: fftw_complex or fftwf_complex, whose
// element type the window weights share.
template <class Complex>
using Real = std::remove_reference_t<decltype(std::declval<Complex>()[0])>;

QV_INLINE const std::complex<double>& frame(const std::complex<double>* x, int k) { return x[k]; }
QV_INLINE std::complex<double> frame(const int16_t* iq, int k) {
    return {double(iq[2 * k]), double(iq[2 * k + 1])};
}

// The windowed segment into the transform's input. 16-bit values are exact in
// either precision, so each product rounds once.
template <class Input, class Complex>
QV_INLINE void apply_window(const Real<Complex>* w, const Input* x, Complex* in, int n) {
    using R = Real<Complex>;
    for (int k = 0; k < n; ++k) {
        const std::complex<double> v = frame(x, k);
        in[k][0] = w[k] * static_cast<R>(v.real());
        in[k][1] = w[k] * static_cast<R>(v.imag());
    }
}

// Adds scale |X|^2 to the result (in double), zero frequency in the middle.
// With `only` (one periodogram, scale 1) it writes instead: 0 + 1 x p is p.
template <class Complex>
QV_INLINE void add_power(const Complex* out, double* result, int n, double scale, bool only) {
    const int half = n / 2;
    auto norm = [](const Complex& c) {
        const double re = c[0], im = c[1];
        return re * re + im * im;
    };
    if (only) {
        for (int i = 0; i < half; ++i) {
            result[i] = norm(out[i + half]);
            result[i + half] = norm(out[i]);
        }
        return;
    }
    for (int i = 0; i < half; ++i) {
        result[i] += scale * norm(out[i + half]);
        result[i + half] += scale * norm(out[i]);
    }
}

// Where row r's segment starts, for either input.
const std::complex<double>* skip_frames(const std::complex<double>* x, long frames) {
    return x + frames;
}
const int16_t* skip_frames(const int16_t* iq, long frames) { return iq + 2 * frames; }

template <class Input, class Complex>
void apply_window_baseline(const Real<Complex>* w, const Input* x, Complex* in, int n) {
    apply_window(w, x, in, n);
}
template <class Complex>
void add_power_baseline(const Complex* out, double* result, int n, double scale, bool only) {
    add_power(out, result, n, scale, only);
}

#if QV_HAVE_AVX2_PATH
// 16-bit frames into the double transform, four frames per step: each pair
// of values widened in registers and multiplied by its weight, the same
// products. Returns the frames done.
QV_TARGET_AVX2 QV_INLINE int window_frames_avx2(const double* w, const int16_t* iq,
                                                fftw_complex* in, int n) {
    double* y = reinterpret_cast<double*>(in);
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256i v =
            _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(iq + 2 * k)));
        const __m256d w4 = _mm256_loadu_pd(w + k);
        _mm256_storeu_pd(y + 2 * k, _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(v)),
                                                  _mm256_permute4x64_pd(w4, 0x50)));
        _mm256_storeu_pd(y + 2 * k + 4,
                         _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(v, 1)),
                                       _mm256_permute4x64_pd(w4, 0xFA)));
    }
    return k;
}

// |X|^2 of the four bins from `bin` on, side by side.
QV_TARGET_AVX2 QV_INLINE __m256d four_powers_avx2(const double* y, int bin) {
    const __m256d a = _mm256_loadu_pd(y + 2 * bin), b = _mm256_loadu_pd(y + 2 * bin + 4);
    return _mm256_permute4x64_pd(_mm256_hadd_pd(_mm256_mul_pd(a, a), _mm256_mul_pd(b, b)), 0xD8);
}

// One periodogram of the double transform written out, four bins per step;
// returns the bins of each half done.
QV_TARGET_AVX2 QV_INLINE int power_only_avx2(const fftw_complex* out, double* result, int n) {
    const int half = n / 2;
    const double* y = reinterpret_cast<const double*>(out);
    int i = 0;
    for (; i + 4 <= half; i += 4) {
        _mm256_storeu_pd(result + i, four_powers_avx2(y, i + half));
        _mm256_storeu_pd(result + i + half, four_powers_avx2(y, i));
    }
    return i;
}

// The same operations (no fused multiply-adds), four or eight lanes per
// instruction.
template <class Input, class Complex>
QV_TARGET_AVX2 void apply_window_avx2(const Real<Complex>* w, const Input* x, Complex* in, int n) {
    int k = 0;
    if constexpr (std::is_same_v<Input, int16_t> && std::is_same_v<Complex, fftw_complex>)
        k = window_frames_avx2(w, x, in, n);
    apply_window(w + k, skip_frames(x, k), in + k, n - k);
}
template <class Complex>
QV_TARGET_AVX2 void add_power_avx2(const Complex* out, double* result, int n, double scale,
                                   bool only) {
    if constexpr (std::is_same_v<Complex, fftw_complex>) {
        if (only) {
            const int done = power_only_avx2(out, result, n);
            const int half = n / 2;
            for (int i = done; i < half; ++i) {
                result[i] =
                    out[i + half][0] * out[i + half][0] + out[i + half][1] * out[i + half][1];
                result[i + half] = out[i][0] * out[i][0] + out[i][1] * out[i][1];
            }
            return;
        }
    }
    add_power(out, result, n, scale, only);
}
#endif

// Windows, transforms and adds up the periodograms of every row and segment.
template <class Input, class Complex, class Execute>
void periodograms(const SpectrumEstimator& e, const Input* input, const Real<Complex>* w,
                  Complex* in, const Complex* out, Execute execute, double* result) {
    auto window_pass = apply_window_baseline<Input, Complex>;
    auto power_pass = add_power_baseline<Complex>;
#if QV_HAVE_AVX2_PATH
    if (simd_path() == SimdPath::kAvx2) {
        window_pass = apply_window_avx2<Input, Complex>;
        power_pass = add_power_avx2<Complex>;
    }
#endif
    const int N = e.N;
    // One periodogram (the radio's case) is written, not added to zeros.
    const bool only = e.rows == 1 && e.segments == 1;
    if (!only)
        for (int i = 0; i < N; ++i) result[i] = 0.0;
    else if (N % 2 == 1)
        result[N - 1] = 0.0;  // an odd transform's last bin has no place in the halves
    const double scale = 1.0 / (e.segments * e.rows);
    for (int r = 0; r < e.rows; ++r)
        for (int s = 0; s < e.segments; ++s) {
            const long offset =
                e.segments == 1 ? 0 : static_cast<long>(e.row_length - N) * s / (e.segments - 1);
            window_pass(w, skip_frames(input, static_cast<long>(r) * e.row_length + offset), in, N);
            execute();
            power_pass(out, result, N, scale, only);
        }
}

}  // namespace

double rectangular_window(int, int) { return 1.0; }

double blackman_window(int n, int N) {
    if (N < 2) return 0.0;
    const double pi = 3.14159265358979323846;
    return 0.42 - 0.5 * std::cos(2 * pi * n / (N - 1)) + 0.08 * std::cos(4 * pi * n / (N - 1));
}

// The transform in the precision asked for: one of the two plans is made.
struct SpectrumEstimator::Fft {
    // Measuring overwrites in and out; nothing is in them yet.
    Fft(int n, unsigned flags, bool single) {
        if (single) {
            in_single = fftwf_alloc_complex(n);
            out_single = fftwf_alloc_complex(n);
            plan_single = fftwf_plan_dft_1d(n, in_single, out_single, FFTW_FORWARD, flags);
        } else {
            in = fftw_alloc_complex(n);
            out = fftw_alloc_complex(n);
            plan = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, flags);
        }
    }
    ~Fft() {
        if (plan_single != nullptr) fftwf_destroy_plan(plan_single);
        fftwf_free(out_single);
        fftwf_free(in_single);
        if (plan != nullptr) fftw_destroy_plan(plan);
        fftw_free(out);
        fftw_free(in);
    }
    Fft(const Fft&) = delete;
    Fft& operator=(const Fft&) = delete;

    fftw_complex* in = nullptr;
    fftw_complex* out = nullptr;
    fftw_plan plan = nullptr;
    fftwf_complex* in_single = nullptr;
    fftwf_complex* out_single = nullptr;
    fftwf_plan plan_single = nullptr;
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
    if (planned_n_ != N || planned_measured_ != measure_ || planned_single_ != single_precision) {
        fft_.reset();  // destroy the old plan before planning anew
        // Measured without the solvers that copy through a second buffer:
        // their candidates triple the planning time (some 200 ms for 4096
        // points) for no faster plan, and without them later estimated plans
        // of the size still take the measured one.
        fft_ = std::make_unique<Fft>(
            N, measure_ ? FFTW_MEASURE | FFTW_NO_INDIRECT_OP : FFTW_ESTIMATE, single_precision);
        planned_measured_ = measure_;
        planned_single_ = single_precision;
        if (planned_n_ != N) {
            result_.reset(new double[N]);
            weights_.reset(new double[N]);
            weights_single_.reset(new float[N]);
            planned_n_ = N;
            weights_window_ = nullptr;
        }
        has_result_ = false;
    }
    if (weights_window_ != window) {
        for (int n = 0; n < N; ++n) {
            weights_[n] = window(n, N);
            weights_single_[n] = static_cast<float>(weights_[n]);
        }
        weights_window_ = window;
    }
}

int SpectrumEstimator::compute(const std::complex<double>* input) { return compute_input(input); }

int SpectrumEstimator::compute_frames(const int16_t* iq) { return compute_input(iq); }

template <class Input>
int SpectrumEstimator::compute_input(const Input* input) {
    if (N < 1 || rows < 1 || segments < 1 || row_length < N || window == nullptr) return -22;
    prepare();
    Fft& f = *fft_;
    if (planned_single_)
        periodograms(
            *this, input, weights_single_.get(), f.in_single, f.out_single,
            [&f] { fftwf_execute(f.plan_single); }, result_.get());
    else
        periodograms(
            *this, input, weights_.get(), f.in, f.out, [&f] { fftw_execute(f.plan); },
            result_.get());
    has_result_ = true;
    return 0;
}

}  // namespace radio_dsp
