// One channel's datapath settings, decoded from the chip's register file.
#pragma once

#include <array>
#include <cstdint>

namespace qv01model {

struct FirSettings {
    int ratio = 1;         // decimation ratio, control bits 0-3 plus one (1..16)
    int phase = 0;         // control bits 4-7: which input of each group of `ratio` is kept
    int half = 0;          // n = order >> 1; the filter has 2n + 1 taps c_0..c_n..c_0
    bool antisym = false;  // control bit 14: mirrored half negated, DC gain c_n
    int scale = 0;         // scale register bits 0-3: output = sum * 2^(scale - 21)
    std::array<int16_t, 32> coef{};  // c_0..c_31 from the coefficient bank

    // DC gain as the Filters panel computes it from the same registers.
    int64_t dc_gain() const;
};

struct ChannelSettings {
    bool cic2_on = false;      // CIC2 bit 15: two integrator-comb stages
    int cic2_ratio = 1;        // bits 8-14 plus one
    int cic2_scale = 0;        // bits 0-3
    int cicn_mode = 0;         // CICN bits 14-15: 0 bypass, 1..3 give mode + 3 stages
    int cicn_ratio = 1;        // bits 8-13 plus one
    int cicn_scale = 0;        // bits 0-3
    bool cicn_scl_mx = false;  // bit 4: scale reference 2^24 instead of 2^16
    FirSettings fir[2];
    uint32_t nco_word = 0;   // phase increment per ADC sample, 2^32 = one cycle
    uint16_t nco_phase = 0;  // phase offset, 2^16 = one cycle
    int16_t gain_i = 0;
    int16_t gain_q = 0;

    int cicn_stages() const { return cicn_mode == 0 ? 0 : cicn_mode + 3; }
    // Product of the four decimation ratios.
    int decimation() const;
    // Scale-shifted stage gains (1 when a CIC stage is bypassed).
    double cic2_gain() const;
    double cicn_gain() const;
    double fir_gain(int which) const;
};

// Decodes the whole channel from a register file of 959 entries.
ChannelSettings decode_channel(const uint16_t* regs, int channel);
// Only the live-trimmable fields: the four scale settings and scl_mx.
void decode_scales(const uint16_t* regs, int channel, ChannelSettings& s);
void decode_nco_word(const uint16_t* regs, int channel, ChannelSettings& s);
void decode_gain(const uint16_t* regs, int channel, ChannelSettings& s);
void decode_coefficients(const uint16_t* regs, int channel, ChannelSettings& s);

}  // namespace qv01model
