// Ring of demodulated phase differences, rate matching and the 256-phase
// resampler that turns the ring into 44.1 kHz PCM. Single-threaded: the owner
// (radio panel or classic form) calls everything from its GUI thread.
#pragma once

#include <cstdint>
#include <memory>

namespace radio_dsp {

constexpr int kDemodRingSize = 65536;
// Longest tap window of one output frame, padded for the vector loop; the ring
// keeps a copy of its first kRingMirror entries after its end so every window
// is contiguous.
constexpr int kRingMirror = 128;

// 65536 phase differences (radians) with the demodulator's write index and the
// resampler's read index. Both indices wrap at 65536.
class DemodRing {
  public:
    DemodRing();
    DemodRing(const DemodRing&) = delete;
    DemodRing& operator=(const DemodRing&) = delete;

    // Stores v at the write index and advances it.
    void push(float v) {
        store(write_index, v);
        ++write_index;
    }
    // Stores n <= 65536 values from the write index on and advances it.
    void push_block(const float* v, int n);
    // Where the next n values go when they lie before the ring's end, so a
    // producer can write them in place and then commit_block(n); nullptr when
    // they would wrap (use push_block). Entries before the write index stay
    // as they are until the commit.
    float* next_block(int n) {
        return write_index + n <= kDemodRingSize ? data_.get() + write_index : nullptr;
    }
    // Advances the write index over n values written through next_block
    // (keeping the mirrored head).
    void commit_block(int n);
    // Repeats the entry before the write index (zero input sample) and advances.
    void push_repeat() { push(data_[static_cast<uint16_t>(write_index - 1)]); }
    // Stores v at index i without moving the write index.
    void store(uint16_t i, float v) {
        data_[i] = v;
        if (i < kRingMirror) data_[kDemodRingSize + i] = v;
    }
    float at(uint16_t i) const { return data_[i]; }
    // Contiguous view: entries i .. i + kRingMirror - 1 (modulo 65536).
    const float* window(uint16_t i) const { return data_.get() + i; }

    // Samples written and not yet consumed, (write - read) modulo 65536.
    int fill_level() const { return static_cast<uint16_t>(write_index - read_index); }

    uint16_t write_index = 0;
    uint16_t read_index = 0;

  private:
    std::unique_ptr<float[]> data_;
};

constexpr int kDefaultUpperThreshold = 40000;
constexpr int kDefaultLowerThreshold = 30000;
constexpr int kThresholdHysteresis = 500;

// Rate-matching constants: nominal step in 1/256 input sample per output
// frame, the divisor of the correction size, and the fill window the step is
// kept in (the programs' 30000 to 40000; a lower window plays the samples
// sooner, but the ring must still hold a whole block's input when a run
// starts, some 19000 samples).
struct RateMatchParams {
    int nominal_step;
    int divisor;
    int lower_threshold = kDefaultLowerThreshold;
    int upper_threshold = kDefaultUpperThreshold;
};
constexpr RateMatchParams kQv01RateMatch{1182, 1500};    // 203.6 kHz nominal input
constexpr RateMatchParams kClassicRateMatch{1200, 500};  // 206.7 kHz nominal input

enum class ChannelLayout {
    kMonoBoth,  // the sample in left and right
    kLeftOnly,  // the sample in left, right = 0
};

constexpr int kAudioFrames = 4096;  // stereo frames per audio block
// Taps of one output frame: ring entries read from its first tap on.
constexpr int kResamplerTaps = 122;
constexpr double kAudioGain = 13000.0;  // phase step (rad) to PCM units

class Resampler {
  public:
    explicit Resampler(RateMatchParams params = kQv01RateMatch);

    // Nudges the step when the ring's fill level leaves [lower, upper].
    // Returns -1 when the step was lowered, +1 when raised, 0 otherwise.
    int match_rate(const DemodRing& ring) {
        const int change = guard_correction(ring.fill_level());
        step += change;
        return change > 0 ? 1 : change < 0 ? -1 : 0;
    }
    // The same rule for a given fill level: moves the thresholds and returns
    // the correction of the step (0 when the level is inside the window).
    int guard_correction(int avail);

    // Writes `frames` stereo frames (interleaved left, right) to out, advancing
    // the phase accumulator by the step (and its fraction) per frame and setting
    // ring.read_index to the first tap of the newest frame. Reads the ring
    // whatever its fill level.
    void resample(DemodRing& ring, int16_t* out, int frames, ChannelLayout layout);

    // Input samples per output frame in 1/256, with the fraction below 1/256
    // that the finer accumulator adds: step + step_fraction / 2^32.
    double ratio() const { return step + step_fraction * (1.0 / 4294967296.0); }
    // Sets step and step_fraction to the nearest representable ratio.
    void set_ratio(double steps);
    // Ring position of the first tap of output frame `frame` (0 = the next one).
    uint16_t tap_position(int frame) const;
    // Moves the resampler on by n input samples without producing output.
    void skip(int n) { phase_accumulator += static_cast<uint32_t>(n) << 8; }

    uint32_t phase_accumulator = 0;
    int step;
    // Finer part of the accumulator and of the step, in 1/2^32 of 1/256 input
    // sample: the position of frame i is (phase_accumulator, phase_fraction)
    // + i (step, step_fraction). The kernel phase comes from the accumulator
    // alone, so a zero fraction gives exactly the integer step's audio.
    uint32_t phase_fraction = 0;
    uint32_t step_fraction = 0;
    int upper_threshold;
    int lower_threshold;

  private:
    RateMatchParams params_;
    const double* phase_kernel_;  // 256 phases x kRingMirror taps, shared table
};

// Per-phase copy of the kernel: phase p holds resampler_kernel()[p + 256 j] for
// j = 0..kRingMirror - 1, zero past the kernel's end. Built once.
const double* phase_kernel_table();

// One output value: 13000 x, clamped to +-32767, truncated toward zero.
inline int16_t pcm_from_phase_sum(double x) {
    double y = kAudioGain * x;
    if (y > 32767.0) y = 32767.0;
    if (y < -32767.0) y = -32767.0;
    return static_cast<int16_t>(y);
}

}  // namespace radio_dsp
