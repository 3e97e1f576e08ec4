// The chip model's inner loops: oscillators (phasors turned by a complex
// multiply), the synthesis of one spectral component at the CICN output
// (cosine and sine by polynomials), the rounding of the CICN output and the
// DFIR dot products.
//
// Each loop exists twice: a plain version, the reference, and a vector
// version (AVX2, used where the CPU has it, chosen at run time) that computes
// every sample with the same operations in the same order, so both give the
// same bits. Within a sample, the vector loops keep the plain order of the
// float operations (no fused multiply-add, no reassociation) and read the
// same table entries; across samples they are independent. The oscillators
// run as 32 lanes in both, so the vector loops take the lanes as they are.
//
// Threads: the kernels are pure functions of their arguments; the choice
// between the two sets is one atomic pointer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv01model {

// One spectral component (a station's carrier or its mirror image) over a
// block of m CICN output samples: its phase follows the multiplex, its
// weight the CIC response at its instantaneous frequency.
struct ComponentBlock {
    const float* mpx = nullptr;  // multiplex, units of the peak deviation, m values
    size_t m = 0;
    uint32_t phase = 0;            // carrier phase before the first sample, 2^32 = one cycle
    uint32_t c_inc = 0;            // carrier phase step per CICN output sample
    float k_inc = 0.0f;            // extra phase step per unit of multiplex
    float k_idx = 0.0f;            // response table positions per unit of multiplex
    float amp = 0.0f;              // mixer-output amplitude
    uint32_t nco = 0;              // NCO phase at the first sample
    uint32_t nco_inc = 0;          // NCO phase step per CICN output sample
    bool on[2] = {false, false};   // side 0: +f + f_nco, side 1: the mirror -f + f_nco
    float base[2] = {0.0f, 0.0f};  // table position of each side's carrier
    // Responses by table position: CIC2 and CIC2 x CICN. Both arrays are
    // readable from kTablePad entries before the first to kTablePad after the
    // last, where they hold the entries of the other end (one turn around).
    const float* h2 = nullptr;
    const float* hn = nullptr;
    uint32_t table_mask = 0;  // entries - 1 (a power of two)
    float* acc = nullptr;     // CICN output sums: I at acc[i], Q at acc[q_stride + i]
    float* acc2 = nullptr;    // CIC2 output sums, the same; null: not followed
    size_t q_stride = 0;      // at least m
};

constexpr int kTablePad = 8;

// Rounding of a block of CICN output sums to the 16-bit datapath: ADC
// noise, stage gains, CIC2 clipping, rounding and saturation.
struct CicnOutput {
    const float* acc = nullptr;   // CICN sums (DC gain 1): I at acc[i], Q at acc[q_stride + i]
    const float* acc2 = nullptr;  // CIC2 sums, the same; null when not followed
    size_t q_stride = 0;
    size_t m = 0;
    float sigma = 0.0f;  // noise per I/Q, 0: none
    // Unit Gaussian noise of I and Q, m each (read when sigma > 0).
    const float* gauss_i = nullptr;
    const float* gauss_q = nullptr;
    double gain = 1.0;   // CIC2 x CICN stage gain
    double gain2 = 1.0;  // CIC2 stage gain
    int16_t* out_i = nullptr;
    int16_t* out_q = nullptr;
    bool cic2_clipped = false;  // set when a CIC2 output saturated
    bool cicn_clipped = false;  // set when a CICN output saturated
};

// A steady oscillator: phase at the first sample, step, amplitude.
struct Tone {
    uint32_t ph;
    uint32_t inc;
    float amp;
};

// A DFIR's taps laid out for the dot products: reversed, zero-padded to a
// multiple of 8.
struct FirTaps {
    const int16_t* rev = nullptr;   // rev[j] = tap[len - 1 - j], padded
    const int32_t* taps = nullptr;  // the taps as they are, len of them
    size_t len = 0;
    size_t padded = 0;
    bool packed = false;  // every tap fits int16 and no 32-bit lane of the vector
                          // dot product (taps j with the same (j mod 16) / 2) can
                          // reach 2^31 with full-scale inputs
};

struct SynthKernels {
    // For each tone in turn: dst[i] += amp * sin(ph + i * inc); with `from_zero`
    // dst is written as if it held zeros.
    void (*add_tones)(float* dst, size_t n, const Tone* tones, size_t count, bool from_zero);
    // dst[i] += env[i] * amp * sin(ph + i * inc)
    void (*add_tone_env)(float* dst, size_t n, uint32_t ph, uint32_t inc, float amp,
                         const float* env);
    // dst[i] += scale * x[i] * sin(ph + i * inc)
    void (*add_modulated)(float* dst, const float* x, size_t n, uint32_t ph, uint32_t inc,
                          float scale);
    // Adds the component to its accumulators; returns its phase after the block.
    uint32_t (*component)(const ComponentBlock& c);
    void (*cicn_output)(CicnOutput& o);
    // Exact sums of taps x the `len` samples ending at x_i[n], x_q[n] (x[n]
    // the newest), one output per `step` inputs: for k in 0..count-1 the
    // output at input index first + k * step.
    void (*fir_dot)(const FirTaps& t, const int16_t* x_i, const int16_t* x_q, size_t first,
                    size_t step, size_t count, int64_t* acc_i, int64_t* acc_q);
    // The largest |x[i]| of n values (0 for none).
    float (*peak_abs)(const float* x, size_t n);
    const char* name;
};

// The chip's 16-bit saturation: v clamped to -32768..32767, `ovf` set when
// it had to be.
inline int16_t saturate(int64_t v, bool& ovf) {
    if (v > 32767) {
        ovf = true;
        return 32767;
    }
    if (v < -32768) {
        ovf = true;
        return -32768;
    }
    return int16_t(v);
}

// The set in use: the vector kernels where the CPU has them, unless
// use_vector_kernels(false) chose the plain ones.
const SynthKernels& synth_kernels();
// Whether this CPU runs the vector kernels (x86-64 with AVX2).
bool vector_kernels_available();
// Chooses the vector (true, where available) or the plain kernels; for
// tests and the bench, which compare the two.
void use_vector_kernels(bool on);

}  // namespace qv01model
