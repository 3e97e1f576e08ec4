// The yardstick of dsp_bench: the radio panel's processing run written
// straight for AVX2 with FMA, as fast as it reasonably goes, to tell how far
// the signal path is from what the machine can do. It keeps the arithmetic
// (every phase step, magnitude, mean and dot, every tap of the kernel in
// double, the window, the transform, every power and the dB of every
// column's extremes) and skips the bookkeeping the signal path must do (zero
// frames, non-normal powers, the other image layout, the ratio tracker). The
// phase steps' angles and the spectrum are taken in single precision (the
// audio stays within some 115 dB of the exact reference; dsp_bench prints
// it; in double they come out bit for bit as the signal path's), the
// transform is FFTW's. Call the functions only when
// simd_limit::available() says so.
#pragma once

#include <cstdint>
#include <memory>

namespace simd_limit {

// The CPU runs AVX2 and FMA.
bool available();

constexpr int kFrames = 4096;       // frames per demodulated block
constexpr int kRingSize = 65536;    // phase steps in the ring
constexpr int kRingMirror = 128;    // the ring's first entries again after its end
constexpr int kImageBytes = 65536;  // 128 x 128 pixels, 4 bytes each
constexpr int kSpectrumColumns = 541;

struct DiscriminatorState {
    uint32_t previous = 1;  // the frame before the next block: I low, Q high 16 bits
    double mean = 0.0;      // exponential mean magnitude
};

// One block of 4096 I/Q frames (no zero frame, no frame of two -32768s): the
// phase steps (radians, float) into ring[0..4095]; the mean magnitude carried
// on; with an image (32-bit pixels) the raw dots, green brightened above the
// mean, red set to the brightened green below it.
// The angle of each conjugate product in single precision (the limit) or in
// double, rounded to float once (the signal path's precision: the phase
// steps it writes, bit for bit).
enum class Angle { kSingle, kDouble };
void demodulate(const int16_t* iq, float* ring, DiscriminatorState& state, unsigned char* image,
                Angle angle = Angle::kSingle);

// `frames` (a multiple of 4) output frames from the ring (kRingSize entries
// plus the mirror) with the 256-phase kernel table (rows of kRingMirror taps,
// 64-byte aligned), both channels the same; acc advances by step per frame
// and read_index is left at the newest frame's first tap.
void resample(const float* ring, const double* kernel, uint32_t& acc, int step, int16_t* out,
              int frames, uint16_t& read_index);

// Lowers every byte of the image by 3, not below 0.
void fade(unsigned char* image);

// Blackman-windowed 4096-point power spectrum of one block (single
// precision, zero frequency in the middle), squeezed into 541 columns of the
// minimum and maximum of 10 log10(power) - offset_db.
class Spectrum {
  public:
    explicit Spectrum(double offset_db);
    ~Spectrum();
    Spectrum(const Spectrum&) = delete;
    Spectrum& operator=(const Spectrum&) = delete;
    void compute(const int16_t* iq, double* lo_db, double* hi_db);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace simd_limit
