#include "reference_chain.h"

#include <cmath>

#include "qv01_regs.h"

namespace qv01model {

namespace {

double bessel_i0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 50; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
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

void program_channel(vboard::VirtualChip& chip, int ch, const ReferenceChain& c, uint32_t nco_word) {
    auto w = [&](int off, int v) { chip.write_reg(reg_addr(ch, off), uint16_t(v)); };
    w(kOffNcoPhase, 0);
    w(kOffNcoLow, int(nco_word & 0xFFFF));
    w(kOffNcoHigh, int(nco_word >> 16));
    w(kOffCic2, 0x8000 | ((c.cic2_ratio - 1) << 8) | c.cic2_scale);
    w(kOffCicn, (c.cicn_mode << 14) | ((c.cicn_ratio - 1) << 8) | (c.scl_mx ? 0x10 : 0) | c.cicn_scale);
    const auto h1 = design_lowpass_half(c.fir1_order / 2, c.fir1_cutoff, c.beta, 32768.0);
    const auto h2 = design_lowpass_half(c.fir2_order / 2, c.fir2_cutoff, c.beta, 32768.0);
    w(kOffDfir1Ctl, (c.fir1_order << 8) | (c.fir1_ratio - 1));
    w(kOffDfir1Scl, c.fir1_scale);
    for (size_t i = 0; i < 32; ++i) {
        w(kOffDfir1Bank + 2 * int(i), i < h1.size() ? h1[i] : 0);
        w(kOffDfir1Bank + 2 * int(i) + 1, 0);
    }
    w(kOffDfir2Ctl, (c.fir2_order << 8) | (c.fir2_ratio - 1));
    w(kOffDfir2Scl, c.fir2_scale);
    for (size_t i = 0; i < 32; ++i) {
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
    if (r36 & 0x8000) {
        const double rr = ((r36 >> 8) & 0x7F) + 1;
        a = std::ldexp(1.0, (r36 & 15) - 16) * 4.0 * rr * rr;
    }
    const int m = (r37 >> 14) & 3;
    if (m != 0) {
        const double rr = ((r37 >> 8) & 0x3F) + 1;
        b = std::ldexp(1.0, (r37 & 15) - ((r37 & 0x10) ? 24 : 16)) * std::pow(rr, m + 3);
    }
    auto fir = [&](int ctl_off, int scl_off, int bank) {
        const int ctl = r(ctl_off) & 0xFFFF;
        const int n = (ctl >> 9) & 0x1F;
        double g = 0.0;
        if (ctl & 0x4000) {
            g = r(bank + 2 * n);
        } else {
            for (int i = 0; i < n; ++i) g += 2.0 * r(bank + 2 * i);
            g += r(bank + 2 * n);
        }
        return std::ldexp(1.0, (r(scl_off) & 15) - 21) * g;
    };
    const double k_gain = std::hypot(double(r(kOffGainI)), double(r(kOffGainQ))) / 16384.0;
    return 20.0 * std::log10(fir(kOffDfir2Ctl, kOffDfir2Scl, kOffDfir2Bank) *
                             fir(kOffDfir1Ctl, kOffDfir1Scl, kOffDfir1Bank) * b * a * k_gain);
}

}  // namespace qv01model
