#include "channel_settings.h"

#include <cmath>

#include "qv01_regs.h"

namespace qv01model {

int64_t FirSettings::dc_gain() const {
    const int n = half;
    if (antisym) return coef[n];
    int64_t g = 0;
    for (int i = 0; i < n; ++i) g += coef[i];
    return 2 * g + coef[n];
}

int ChannelSettings::decimation() const {
    return cic2_ratio * cicn_ratio * fir[0].ratio * fir[1].ratio;
}

double ChannelSettings::cic2_gain() const {
    if (!cic2_on) return 1.0;
    return 4.0 * cic2_ratio * cic2_ratio * std::ldexp(1.0, cic2_scale - 16);
}

double ChannelSettings::cicn_gain() const {
    if (cicn_mode == 0) return 1.0;
    return std::pow(double(cicn_ratio), cicn_stages()) *
           std::ldexp(1.0, cicn_scale - (cicn_scl_mx ? 24 : 16));
}

double ChannelSettings::fir_gain(int which) const {
    return double(fir[which].dc_gain()) * std::ldexp(1.0, fir[which].scale - 21);
}

static void decode_fir_control(uint16_t ctl, FirSettings& f) {
    f.ratio = (ctl & 0x0F) + 1;
    f.phase = (ctl >> 4) & 0x0F;
    f.half = ((ctl >> 8) & 0x3F) >> 1;
    f.antisym = (ctl >> 14) & 1;
}

void decode_scales(const uint16_t* regs, int ch, ChannelSettings& s) {
    s.cic2_scale = regs[reg_addr(ch, kOffCic2)] & 0x0F;
    const uint16_t cicn = regs[reg_addr(ch, kOffCicn)];
    s.cicn_scale = cicn & 0x0F;
    s.cicn_scl_mx = (cicn >> 4) & 1;
    s.fir[0].scale = regs[reg_addr(ch, kOffDfir1Scl)] & 0x0F;
    s.fir[1].scale = regs[reg_addr(ch, kOffDfir2Scl)] & 0x0F;
}

void decode_nco_word(const uint16_t* regs, int ch, ChannelSettings& s) {
    s.nco_word = uint32_t(regs[reg_addr(ch, kOffNcoLow)]) |
                 (uint32_t(regs[reg_addr(ch, kOffNcoHigh)]) << 16);
}

void decode_gain(const uint16_t* regs, int ch, ChannelSettings& s) {
    s.gain_i = int16_t(regs[reg_addr(ch, kOffGainI)]);
    s.gain_q = int16_t(regs[reg_addr(ch, kOffGainQ)]);
}

void decode_coefficients(const uint16_t* regs, int ch, ChannelSettings& s) {
    for (int i = 0; i < 32; ++i) {
        s.fir[0].coef[i] = int16_t(regs[reg_addr(ch, kOffDfir1Bank + 2 * i)]);
        s.fir[1].coef[i] = int16_t(regs[reg_addr(ch, kOffDfir2Bank + 2 * i)]);
    }
}

ChannelSettings decode_channel(const uint16_t* regs, int ch) {
    ChannelSettings s;
    const uint16_t cic2 = regs[reg_addr(ch, kOffCic2)];
    s.cic2_on = (cic2 >> 15) & 1;
    s.cic2_ratio = ((cic2 >> 8) & 0x7F) + 1;
    const uint16_t cicn = regs[reg_addr(ch, kOffCicn)];
    s.cicn_mode = (cicn >> 14) & 3;
    s.cicn_ratio = ((cicn >> 8) & 0x3F) + 1;
    decode_fir_control(regs[reg_addr(ch, kOffDfir1Ctl)], s.fir[0]);
    decode_fir_control(regs[reg_addr(ch, kOffDfir2Ctl)], s.fir[1]);
    decode_scales(regs, ch, s);
    decode_coefficients(regs, ch, s);
    decode_nco_word(regs, ch, s);
    decode_gain(regs, ch, s);
    s.nco_phase = regs[reg_addr(ch, kOffNcoPhase)];
    return s;
}

}  // namespace qv01model
