// One receiver channel of the QV01 with the RF scene in front of it.
//
// The ADC runs at adc_rate_hz (chip clock with its ppm error). Instead of
// running the mixer and the CIC decimators at that rate, the model follows
// every spectral component of the folded ADC signal (each station's carrier
// and its mirror image) as a complex phasor at the CICN output rate: the
// mixer moves it up by the NCO frequency (local oscillator e^{+j w n}, so a
// carrier above the tuning comes out below 0 Hz: the band is spectrally
// inverted), the CIC2 and CICN responses weight it at its instantaneous
// frequency, and stepping its phase at the CICN output rate aliases it
// exactly as the decimators would. ADC noise enters as white noise with the
// power that the CICs pass. From the CICN output on, the chip's integer
// datapath runs sample by sample: DFIR1 and DFIR2 on their programmed
// coefficients at their own rates, the complex gain stage, each with
// rounding, scale shift and 16-bit saturation.
//
// Single-threaded: the owner serialises all calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "channel_settings.h"
#include "rf_scene.h"
#include "station_synth.h"
#include "synth_kernels.h"

namespace qv01model {

// Decimating folded-symmetric FIR of the chip, on I and Q int16 streams.
class FirStage {
  public:
    void configure(const FirSettings& s);
    void set_scale(int scale) { shift_ = 21 - scale; }
    void reset();
    // Consumes n input frames, writes one frame per `ratio` inputs (at the
    // inputs whose index is phase mod ratio); returns the frames written.
    size_t process(const int16_t* in_i, const int16_t* in_q, size_t n, int16_t* out_i,
                   int16_t* out_q, bool& overflow);

  private:
    std::vector<int32_t> taps_;  // full impulse response, 2n + 1 taps
    std::vector<int16_t> rev_;   // the taps reversed and zero-padded (FirTaps)
    FirTaps layout_;
    // The last taps - 1 input frames, then the block being filtered and room
    // for the padded dot products to read past its end.
    std::vector<int16_t> x_i_, x_q_;
    std::vector<int64_t> acc_i_, acc_q_;
    int ratio_ = 1, phase_ = 0, shift_ = 21;
    uint64_t count_ = 0;
};

class ChannelModel {
  public:
    ChannelModel(std::shared_ptr<const RfScene> scene, double adc_rate_hz);
    ChannelModel(const ChannelModel&) = delete;
    ChannelModel& operator=(const ChannelModel&) = delete;

    // New configuration: rebuilds responses and clears every state.
    void restart(const ChannelSettings& s);
    void set_nco_word(uint32_t word) { s_.nco_word = word; }
    void set_gain(int16_t gi, int16_t gq) {
        s_.gain_i = gi;
        s_.gain_q = gq;
    }
    void set_scales(const ChannelSettings& from);
    void set_coefficients(const ChannelSettings& from);
    // Restarts the NCO phase at `phase` (2^16 = one cycle); the local
    // oscillator e^{+j phase} turns the output forward by that angle.
    void sync_nco(uint16_t phase);

    double output_rate_hz() const { return adc_rate_hz_ / s_.decimation(); }
    // n output frames as interleaved I/Q; returns the overflow flags raised.
    uint16_t generate(int16_t* iq, size_t n);

    // Combined CIC2 x CICN response (DC = 1) at `cycles` per ADC sample, as
    // applied to the signal (for tests and the documentation of the model).
    double cic_response(double cycles) const;

  private:
    struct Plan {
        float base[2];      // table position of carrier (0) and mirror (1) this block
        double max2[2];     // largest contribution at the CIC2 output, LSB
        double maxn[2];     // largest contribution at the CICN output, LSB
        double max_out[2];  // largest contribution at the channel output, LSB
    };
    void build_tables();
    // The DFIRs' combined response (DFIR1, then DFIR2 on its decimated
    // output; integer taps, before the scale shifts), bounded per part of
    // the CICN output band: reach_[j] >= |H(v)| for v in [j, j + 1) / size
    // cycles per CICN output sample.
    void build_reach();
    // The largest gain from the CICN output to the channel output (DFIRs at
    // their present scales, the gain stage) for frequencies lo .. hi, cycles
    // per CICN output sample.
    double reach(double lo, double hi) const;
    double dfir_gain() const;  // the DFIRs' scale shifts
    // Whether a CICN output of at most `peak` (I or Q) can clip no stage.
    bool cannot_clip(double peak) const;
    // m CICN output samples into out_i, out_q; returns the overflow flags.
    uint16_t run_cic(size_t m, int16_t* out_i, int16_t* out_q);

    std::shared_ptr<const RfScene> scene_;
    double adc_rate_hz_;
    ChannelSettings s_;
    int d_cic_ = 1;  // CIC2 x CICN decimation
    // Responses over -0.5 .. 0.5 cycles/sample, CIC2 and CIC2 x CICN, with
    // kTablePad entries of the other end before and after.
    std::vector<float> h2_, hn_;
    std::vector<double> reach_;
    double taps_abs_[2] = {0.0, 0.0};  // sum of |taps|: DFIR1, DFIR1 then DFIR2
    int table_bits_ = 12;
    double noise_sigma_ = 0.0;  // per I/Q at the CICN output, DC gain 1
    std::vector<StationSynth> synth_;
    std::vector<float> amp_;  // per station, mixer-output amplitude
    std::vector<Plan> plan_;
    std::vector<uint32_t> carrier_phase_;  // per station, 2^32 = one cycle
    uint32_t nco_phase_ = 0;               // NCO phase at the next CICN output sample
    uint64_t n_cic_ = 0;                   // CICN output samples since restart
    // Chooses where each block's noise is taken from the store of noise
    // drawn once: a store rather than a draw per sample, whose Gaussian table
    // (256 KiB, read at random) costs more than the rest of the noise.
    uint32_t rng_ = 0x12345678u;
    FirStage fir_[2];
    std::vector<float> mpx_;
    std::vector<float> acc_, acc2_;  // CICN and CIC2 sums, those of I then those of Q
    std::vector<int16_t> cic_i_, cic_q_, fir1_i_, fir1_q_, fir2_i_, fir2_q_;
};

// Unit-variance Gaussian table for the noise floor.
const float* gauss_table();
constexpr int kGaussBits = 16;

}  // namespace qv01model
