// A channel configuration for the bench and the tests, laid out like the
// project's receiver configuration: CIC2 ratio 3, CICN ratio 27 (4 stages),
// DFIR1 ratio 2, DFIR2 ratio 2, decimation 324 (203.7 kHz at 66 MHz), with
// Kaiser-windowed low-pass filters and scales that give a chain gain near 0 dB.
#pragma once

#include <cstdint>
#include <vector>

#include "virtual_chip.h"

namespace qv01model {

// Folded half c_0..c_n of a (2n + 1)-tap low-pass with cutoff `cutoff`
// (cycles per sample) and Kaiser parameter `beta`, quantised so the taps
// sum to about `sum`.
std::vector<int16_t> design_lowpass_half(int n, double cutoff, double beta, double sum);

struct ReferenceChain {
    int cic2_ratio = 3, cic2_scale = 10;
    int cicn_ratio = 27, cicn_mode = 1, cicn_scale = 5;
    bool scl_mx = true;
    int fir1_order = 22, fir1_ratio = 2, fir1_scale = 6;
    double fir1_cutoff = 0.245;
    int fir2_order = 62, fir2_ratio = 2, fir2_scale = 7;
    double fir2_cutoff = 0.27;
    double beta = 6.0;
    int16_t gain_i = 0, gain_q = 0;  // 0, 0: chosen for a 0 dB chain
};

// Writes the channel's registers (not the control register).
void program_channel(vboard::VirtualChip& chip, int channel, const ReferenceChain& c,
                     uint32_t nco_word);

// The start sequence the host programs run after configuring.
void start_receiver(vboard::VirtualChip& chip);

// NCO word for a tuning frequency: trunc(f / clock * 2^32), low 32 bits.
uint32_t nco_word_for(double freq_hz, double clock_hz);

// Chain gain in dB from the registers, by the Filters panel's formula.
double panel_kp_db(vboard::VirtualChip& chip, int channel);

}  // namespace qv01model
