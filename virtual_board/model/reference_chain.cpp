#include "reference_chain.h"

#include <cmath>
#include <initializer_list>
#include <utility>

#include "qv01_regs.h"

namespace qv01model {

using namespace qv01;

namespace {

double bessel_i0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 50; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

// A register value with each field set to its value.
uint32_t fields(std::initializer_list<std::pair<Field, int>> values) {
    uint32_t reg = 0;
    for (const auto& [field, value] : values) reg = set_field(reg, field, value);
    return reg;
}

}  // namespace

std::vector<int16_t> design_lowpass_half(int n, double cutoff, double beta, double sum) {
    std::vector<double> h(size_t(n) + 1);
    double total = 0.0;
    for (int k = 0; k <= n; ++k) {
        const int m = k - n;  // distance from the centre tap
        const double sinc = m == 0 ? 2.0 * cutoff : std::sin(2.0 * M_PI * cutoff * m) / (M_PI * m);
        const double r = double(m) / double(n == 0 ? 1 : n);
        const double w = bessel_i0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / bessel_i0(beta);
        h[size_t(k)] = sinc * w;
        total += (k == n ? 1.0 : 2.0) * h[size_t(k)];
    }
    std::vector<int16_t> c(h.size());
    for (size_t k = 0; k < h.size(); ++k) c[k] = int16_t(std::lround(h[k] / total * sum));
    return c;
}

uint32_t nco_word_for(double freq_hz, double clock_hz) {
    const double w = std::trunc(freq_hz / clock_hz * 4294967296.0);
    return uint32_t(uint64_t(int64_t(w)) & 0xFFFFFFFFu);
}

void program_channel(vboard::VirtualChip& chip, int ch, const ReferenceChain& c,
                     uint32_t nco_word) {
    auto w = [&](int off, int v) { chip.write_reg(reg_addr(ch, off), uint16_t(v)); };
    w(kOffNcoPhase, 0);
    w(kOffNcoLow, int(nco_word & 0xFFFF));
    w(kOffNcoHigh, int(nco_word >> 16));
    w(kOffCic2,
      fields({{cic2::kMode, 1}, {cic2::kRatio, c.cic2_ratio - 1}, {cic2::kScale, c.cic2_scale}}));
    w(kOffCicn, fields({{cicn::kMode, c.cicn_mode},
                        {cicn::kRatio, c.cicn_ratio - 1},
                        {cicn::kSclMx, c.scl_mx},
                        {cicn::kScale, c.cicn_scale}}));
    const auto h1 = design_lowpass_half(c.fir1_order / 2, c.fir1_cutoff, c.beta, 32768.0);
    const auto h2 = design_lowpass_half(c.fir2_order / 2, c.fir2_cutoff, c.beta, 32768.0);
    w(kOffDfir1Ctl, fields({{dfir::kOrder, c.fir1_order}, {dfir::kRatio, c.fir1_ratio - 1}}));
    w(kOffDfir1Scl, fields({{dfir::kScale, c.fir1_scale}}));
    for (size_t i = 0; i < size_t(kBankCoefficients); ++i) {
        w(kOffDfir1Bank + 2 * int(i), i < h1.size() ? h1[i] : 0);
        w(kOffDfir1Bank + 2 * int(i) + 1, 0);
    }
    w(kOffDfir2Ctl, fields({{dfir::kOrder, c.fir2_order}, {dfir::kRatio, c.fir2_ratio - 1}}));
    w(kOffDfir2Scl, fields({{dfir::kScale, c.fir2_scale}}));
    for (size_t i = 0; i < size_t(kBankCoefficients); ++i) {
        w(kOffDfir2Bank + 2 * int(i), i < h2.size() ? h2[i] : 0);
        w(kOffDfir2Bank + 2 * int(i) + 1, 0);
    }
    int gi = c.gain_i, gq = c.gain_q;
    if (gi == 0 && gq == 0) {
        // Gain stage trims the rest of the chain to 0 dB.
        w(kOffGainI, 16384);
        w(kOffGainQ, 0);
        const double rest = std::pow(10.0, panel_kp_db(chip, ch) / 20.0);
        gi = int(std::lround(std::min(32767.0, 16384.0 / rest)));
    }
    w(kOffGainI, gi);
    w(kOffGainQ, gq);
}

void start_receiver(vboard::VirtualChip& chip) {
    chip.write_reg(kRegFlagClear, 0xFFFF);
    chip.write_reg(kRegControl, kCmdReset);
    chip.write_reg(kRegControl, kCmdLoadCoef);
    chip.write_reg(kRegControl, kCmdNcoSync);
    chip.write_reg(kRegControl, kCmdStart);
}

double panel_kp_db(vboard::VirtualChip& chip, int ch) {
    auto r = [&](int off) { return int(int16_t(chip.read_reg(reg_addr(ch, off)))); };
    const int r36 = r(kOffCic2) & 0xFFFF, r37 = r(kOffCicn) & 0xFFFF;
    double a = 1.0, b = 1.0;
    if (get_field(r36, cic2::kMode)) {
        const double rr = get_field(r36, cic2::kRatio) + 1;
        a = std::ldexp(1.0, get_field(r36, cic2::kScale) - 16) * 4.0 * rr * rr;
    }
    const int m = get_field(r37, cicn::kMode);
    if (m != 0) {
        const double rr = get_field(r37, cicn::kRatio) + 1;
        b = std::ldexp(1.0,
                       get_field(r37, cicn::kScale) - (get_field(r37, cicn::kSclMx) ? 24 : 16)) *
            std::pow(rr, m + 3);
    }
    auto fir = [&](int ctl_off, int scl_off, int bank) {
        const int ctl = r(ctl_off) & 0xFFFF;
        const int n = get_field(ctl, dfir::kOrder) >> 1;
        double g = 0.0;
        if (get_field(ctl, dfir::kSym)) {
            g = r(bank + 2 * n);
        } else {
            for (int i = 0; i < n; ++i) g += 2.0 * r(bank + 2 * i);
            g += r(bank + 2 * n);
        }
        return std::ldexp(1.0, get_field(r(scl_off), dfir::kScale) - 21) * g;
    };
    const double k_gain = std::hypot(double(r(kOffGainI)), double(r(kOffGainQ))) / 16384.0;
    return 20.0 * std::log10(fir(kOffDfir2Ctl, kOffDfir2Scl, kOffDfir2Bank) *
                             fir(kOffDfir1Ctl, kOffDfir1Scl, kOffDfir1Bank) * b * a * k_gain);
}

}  // namespace qv01model
