// FM discriminator: phase step of every I/Q frame relative to the previous
// non-zero frame, written into the demodulated ring. Single-threaded.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>

#include "constellation_image.h"
#include "demod_ring.h"

namespace radio_dsp {

constexpr int kBlockFrames = 4096;             // I/Q frames per queue block
constexpr int kBlockBytes = kBlockFrames * 4;  // 16384

class FmDiscriminator {
  public:
    FmDiscriminator();
    FmDiscriminator(const FmDiscriminator&) = delete;
    FmDiscriminator& operator=(const FmDiscriminator&) = delete;

    // Demodulates kBlockFrames frames (interleaved int16 I, Q) into ring, one
    // entry per frame; a zero frame repeats the ring entry before it and leaves
    // the previous sample unchanged. Updates the mean magnitude. When image is
    // given, plots every frame: the rotation z / previous for non-zero frames if
    // delta, else the raw I/Q (zero frames included). When spectrum_input is
    // given, stores each frame there as (I, Q) doubles.
    void demodulate_block(const int16_t* iq, DemodRing& ring, ConstellationImage* image, bool delta,
                          std::complex<double>* spectrum_input);

    std::complex<float> previous{1.0f, 0.0f};  // last non-zero frame (16-bit values)
    double mean_magnitude = 0.0;               // 0.0001 m + 0.9999 mean, per frame

  private:
    std::unique_ptr<float[]> phase_;      // scratch, kBlockFrames, for a block that wraps the ring
    std::unique_ptr<float[]> magnitude_;  // scratch, kBlockFrames
};

// atan2(im, re) in double precision, |error| < 1e-12 rad, result in (-pi, pi].
double phase_angle(double im, double re);

}  // namespace radio_dsp
