#include "channel_settings.h"

#include <cmath>

#include "qv01_regs.h"

namespace qv01model {

using namespace qv01;

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
    f.ratio = get_field(ctl, dfir::kRatio) + 1;
    f.phase = get_field(ctl, dfir::kPhase);
    f.half = get_field(ctl, dfir::kOrder) >> 1;
    f.antisym = get_field(ctl, dfir::kSym);
}

void decode_scales(const uint16_t* regs, int ch, ChannelSettings& s) {
    s.cic2_scale = get_field(regs[reg_addr(ch, kOffCic2)], cic2::kScale);
    const uint16_t cicn_reg = regs[reg_addr(ch, kOffCicn)];
    s.cicn_scale = get_field(cicn_reg, cicn::kScale);
    s.cicn_scl_mx = get_field(cicn_reg, cicn::kSclMx);
    s.fir[0].scale = get_field(regs[reg_addr(ch, kOffDfir1Scl)], dfir::kScale);
    s.fir[1].scale = get_field(regs[reg_addr(ch, kOffDfir2Scl)], dfir::kScale);
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
    for (int i = 0; i < kBankCoefficients; ++i) {
        s.fir[0].coef[i] = int16_t(regs[reg_addr(ch, kOffDfir1Bank + 2 * i)]);
        s.fir[1].coef[i] = int16_t(regs[reg_addr(ch, kOffDfir2Bank + 2 * i)]);
    }
}

ChannelSettings decode_channel(const uint16_t* regs, int ch) {
    ChannelSettings s;
    const uint16_t cic2_reg = regs[reg_addr(ch, kOffCic2)];
    s.cic2_on = get_field(cic2_reg, cic2::kMode);
    s.cic2_ratio = get_field(cic2_reg, cic2::kRatio) + 1;
    const uint16_t cicn_reg = regs[reg_addr(ch, kOffCicn)];
    s.cicn_mode = get_field(cicn_reg, cicn::kMode);
    s.cicn_ratio = get_field(cicn_reg, cicn::kRatio) + 1;
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
