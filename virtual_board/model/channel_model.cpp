#include "channel_model.h"

#include <algorithm>
#include <cmath>

#include "qv01_regs.h"

namespace qv01model {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwo32 = 4294967296.0;
constexpr double kFullScale = 32767.0;  // mixer output amplitude of a full-scale ADC sine
constexpr size_t kCicBlock = 4096;      // CICN output samples per synthesis block
// A component whose largest contribution stays below this many LSBs is not
// synthesised; it cannot change a rounded 16-bit stage output.
constexpr double kNegligibleLsb = 1e-3;

inline int16_t saturate(int64_t v, bool& ovf) {
    if (v > 32767) {
        ovf = true;
        return 32767;
    }
    if (v < -32768) {
        ovf = true;
        return -32768;
    }
    return int16_t(v);
}

// sin(pi R x) / (R sin(pi x)), the response of one integrate-and-dump
// section of ratio R at x cycles per input sample.
double dirichlet(double x, int r) {
    const double den = r * std::sin(kPi * x);
    if (std::fabs(den) < 1e-12) {
        // At x = k the limit is cos(pi R k) / cos(pi k) = (-1)^(k (R - 1)).
        const long k = std::lround(x);
        return ((k * (r - 1)) % 2 == 0) ? 1.0 : -1.0;
    }
    return std::sin(kPi * r * x) / den;
}

double wrap_half(double x) { return x - std::floor(x + 0.5); }  // to [-0.5, 0.5)

uint32_t cycles_to_q32(double cycles) {
    cycles -= std::floor(cycles);
    return uint32_t(uint64_t(cycles * kTwo32) & 0xFFFFFFFFu);
}

}  // namespace

const float* gauss_table() {
    // Never destroyed: the virtual board's stream thread may still be
    // synthesising while the process runs its exit handlers.
    static const std::vector<float>* const table = new std::vector<float>([] {
        // Inverse-CDF samples at the midpoints of 2^16 equal-probability cells,
        // then shuffled; the table's variance is 1 within 1e-3.
        const size_t n = size_t(1) << kGaussBits;
        std::vector<float> t(n);
        for (size_t i = 0; i < n; ++i) {
            const double p = (double(i) + 0.5) / double(n);
            // x = sqrt(2) erfinv(2p - 1), by Newton steps on erf.
            double x = 0.0, target = 2.0 * p - 1.0;
            for (int it = 0; it < 60; ++it) {
                const double err = std::erf(x) - target;
                const double d = 2.0 / std::sqrt(kPi) * std::exp(-x * x);
                const double step = err / d;
                x -= std::clamp(step, -0.5, 0.5);
                if (std::fabs(step) < 1e-12) break;
            }
            t[i] = float(std::sqrt(2.0) * x);
        }
        uint32_t s = 0x9E3779B9u;
        for (size_t i = n - 1; i > 0; --i) {
            s ^= s << 13;
            s ^= s >> 17;
            s ^= s << 5;
            std::swap(t[i], t[s % (i + 1)]);
        }
        return t;
    }());
    return table->data();
}

// ---------------------------------------------------------------- FirStage

void FirStage::configure(const FirSettings& s) {
    const int n = s.half;
    taps_.assign(size_t(2 * n + 1), 0);
    for (int k = 0; k < n; ++k) {
        taps_[size_t(k)] = s.coef[size_t(k)];
        taps_[size_t(2 * n - k)] = s.antisym ? -int32_t(s.coef[size_t(k)]) : s.coef[size_t(k)];
    }
    taps_[size_t(n)] = s.coef[size_t(n)];
    ratio_ = s.ratio;
    phase_ = s.phase % s.ratio;
    set_scale(s.scale);
    reset();
}

void FirStage::reset() {
    hist_.assign((taps_.size() - 1) * 2, 0);
    count_ = 0;
}

size_t FirStage::process(const int16_t* in, size_t n, int16_t* out, bool& overflow) {
    const size_t l = taps_.size();
    const size_t h = l - 1;
    work_.resize((h + n) * 2);
    std::copy(hist_.begin(), hist_.end(), work_.begin());
    std::copy(in, in + 2 * n, work_.begin() + long(2 * h));
    const int32_t* t = taps_.data();
    const int64_t round = int64_t(1) << (shift_ - 1);
    size_t produced = 0;
    // First input index j with (count_ + j) % ratio == phase.
    size_t j = size_t((uint64_t(phase_) + uint64_t(ratio_) - count_ % uint64_t(ratio_)) %
                      uint64_t(ratio_));
    for (; j < n; j += size_t(ratio_)) {
        const int16_t* x = work_.data() + 2 * (h + j);  // newest input frame
        int64_t ai = 0, aq = 0;
        for (size_t k = 0; k < l; ++k) {
            ai += int64_t(t[k]) * x[-2 * long(k)];
            aq += int64_t(t[k]) * x[-2 * long(k) + 1];
        }
        out[2 * produced] = saturate((ai + round) >> shift_, overflow);
        out[2 * produced + 1] = saturate((aq + round) >> shift_, overflow);
        ++produced;
    }
    count_ += n;
    std::copy(work_.end() - long(2 * h), work_.end(), hist_.begin());
    return produced;
}

// ------------------------------------------------------------ ChannelModel

ChannelModel::ChannelModel(std::shared_ptr<const RfScene> scene, double adc_rate_hz)
    : scene_(std::move(scene)), adc_rate_hz_(adc_rate_hz) {}

double ChannelModel::cic_response(double cycles) const {
    double h = 1.0;
    const double x = wrap_half(cycles);
    if (s_.cic2_on) h *= std::pow(dirichlet(x, s_.cic2_ratio), 2);
    if (s_.cicn_mode != 0)
        h *= std::pow(dirichlet(x * s_.cic2_ratio, s_.cicn_ratio), s_.cicn_stages());
    return h;
}

void ChannelModel::build_tables() {
    // About 512 entries per CICN output band keep the interpolation-free
    // lookup within 0.01 dB over the pass band.
    int bits = 12;
    while (bits < 18 && (1 << bits) < d_cic_ * 512) ++bits;
    table_bits_ = bits;
    const size_t n = size_t(1) << bits;
    table_.resize(n);
    double sum_sq = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double x = double(i) / double(n) - 0.5;
        const double h2 = s_.cic2_on ? std::pow(dirichlet(x, s_.cic2_ratio), 2) : 1.0;
        const double hn = cic_response(x);
        table_[i] = Entry{float(h2), float(hn)};
        sum_sq += hn * hn;
    }
    // White ADC noise of variance v, mixed to complex baseband with the
    // mixer's factor 2, has 2v per I and Q; the CICs pass sum(h^2) of it,
    // which equals the mean of |H|^2 over one ADC band.
    const double v = kFullScale * kFullScale / 2.0 * std::pow(10.0, scene_->noise_dbfs / 10.0);
    noise_sigma_ = std::sqrt(2.0 * v * sum_sq / double(n));
}

void ChannelModel::restart(const ChannelSettings& s) {
    s_ = s;
    d_cic_ = s.cic2_ratio * s.cicn_ratio;
    build_tables();
    const double fs_cic = adc_rate_hz_ / d_cic_;
    synth_.clear();
    amp_.clear();
    carrier_phase_.clear();
    plan_.assign(scene_->stations.size(), Plan{});
    for (size_t k = 0; k < scene_->stations.size(); ++k) {
        const StationSpec& st = scene_->stations[k];
        synth_.emplace_back(st, fs_cic);
        amp_.push_back(float(kFullScale * std::pow(10.0, st.level_dbfs / 20.0)));
        carrier_phase_.push_back(
            uint32_t(0x9E3779B9u * uint32_t(k + 1)));  // unrelated start phases
    }
    nco_phase_ = uint32_t(s.nco_phase) << 16;
    n_cic_ = 0;
    fir_[0].configure(s.fir[0]);
    fir_[1].configure(s.fir[1]);
    mpx_.resize(kCicBlock);
    acc_n_.resize(2 * kCicBlock);
    acc_2_.resize(2 * kCicBlock);
    buf_a_.resize(2 * kCicBlock);
    buf_b_.resize(2 * kCicBlock);
    buf_c_.resize(2 * kCicBlock);
}

void ChannelModel::set_scales(const ChannelSettings& from) {
    s_.cic2_scale = from.cic2_scale;
    s_.cicn_scale = from.cicn_scale;
    s_.cicn_scl_mx = from.cicn_scl_mx;
    for (int k = 0; k < 2; ++k) {
        s_.fir[k].scale = from.fir[k].scale;
        fir_[k].set_scale(from.fir[k].scale);
    }
}

void ChannelModel::set_coefficients(const ChannelSettings& from) {
    for (int k = 0; k < 2; ++k) {
        s_.fir[k].coef = from.fir[k].coef;
        fir_[k].configure(s_.fir[k]);
    }
}

void ChannelModel::sync_nco(uint16_t phase) {
    s_.nco_phase = phase;
    nco_phase_ = uint32_t(phase) << 16;
}

// Synthesises m CICN output samples (m <= kCicBlock) into `out` (I/Q int16).
uint16_t ChannelModel::run_cic(size_t m, int16_t* out) {
    const double fs_cic = adc_rate_hz_ / d_cic_;
    const double t = double(n_cic_) / fs_cic;
    const double nco_cycles = double(s_.nco_word) / kTwo32;  // per ADC sample
    const uint32_t nco_inc = uint32_t(uint64_t(s_.nco_word) * uint64_t(d_cic_));
    const double g2 = s_.cic2_gain();
    const double gt = g2 * s_.cicn_gain();
    const int tsize = 1 << table_bits_;
    const int mask = tsize - 1;
    const Entry* tab = table_.data();
    const float* st = sin_table();
    constexpr int sh = 32 - kSinBits;
    constexpr uint32_t quarter = 1u << 30;

    std::fill(acc_n_.begin(), acc_n_.begin() + long(2 * m), 0.0f);

    // The mixer multiplies the real ADC signal by 2 e^{+j (w n + nco phase)}:
    // the NCO word shifts the spectrum up. A station at f contributes
    // +f + f_nco (side 0) and -f + f_nco (side 1, its mirror image), both
    // modulo the ADC rate. With the word of the tuning f_t (f_t mod clock),
    // side 1 of a carrier at f_t + d lands at -d: the channel's band is
    // spectrally inverted, and side 0 is the sum-frequency image at 2 f_t + d.
    const size_t ns = scene_->stations.size();
    // Per station and side: the block's table position, and how much the
    // component can contribute at the CIC2 and at the CICN output.
    std::vector<Plan>& plan = plan_;
    double bound2 = 0.0;
    for (size_t k = 0; k < ns; ++k) {
        const StationSpec& sp = scene_->stations[k];
        const double f = sp.freq_hz + sp.offset_hz + sp.drift_hz_per_s * t;
        const double dev_entries = sp.deviation_hz / adc_rate_hz_ * tsize * 1.5 + 2.0;
        for (int side = 0; side < 2; ++side) {
            const double u = wrap_half((side == 0 ? f : -f) / adc_rate_hz_ + nco_cycles);
            const double pos = (u + 0.5) * tsize;
            plan[k].base[side] = float(pos);
            double m2 = 0.0, mn = 0.0;
            for (long i = long(pos - dev_entries); i <= long(pos + dev_entries); ++i) {
                const Entry& e = tab[i & mask];
                m2 = std::max(m2, double(std::fabs(e.h2)));
                mn = std::max(mn, double(std::fabs(e.hn)));
            }
            plan[k].max2[side] = m2 * amp_[k] * std::fabs(g2);
            plan[k].maxn[side] = mn * amp_[k] * std::fabs(gt);
            bound2 += plan[k].max2[side];
        }
    }
    // The CIC2 output needs following only when it could reach full scale.
    const bool track2 = bound2 + 6.0 * noise_sigma_ * std::fabs(g2) > 32767.0;
    if (track2) std::fill(acc_2_.begin(), acc_2_.begin() + long(2 * m), 0.0f);

    for (size_t k = 0; k < ns; ++k) {
        const StationSpec& sp = scene_->stations[k];
        bool on[2];
        for (int side = 0; side < 2; ++side) {
            on[side] = plan[k].maxn[side] > kNegligibleLsb ||
                       (track2 && plan[k].max2[side] > kNegligibleLsb);
        }
        const double f = sp.freq_hz + sp.offset_hz + sp.drift_hz_per_s * t;
        const uint32_t c_inc = cycles_to_q32(f / adc_rate_hz_ * d_cic_);
        if (!on[0] && !on[1]) {
            carrier_phase_[k] += uint32_t(c_inc * uint32_t(m));
            continue;
        }
        float* mpx = mpx_.data();
        synth_[k].render(n_cic_, mpx, m);
        const float k_inc = float(sp.deviation_hz / adc_rate_hz_ * d_cic_ * kTwo32);
        const float k_idx = float(sp.deviation_hz / adc_rate_hz_ * tsize);
        const float a = amp_[k];
        uint32_t phi = carrier_phase_[k];
        uint32_t nco = nco_phase_;
        float* an = acc_n_.data();
        float* a2 = acc_2_.data();
        for (size_t i = 0; i < m; ++i) {
            const float dv = mpx[i];
            phi += c_inc + uint32_t(int64_t(k_inc * dv));
            for (int side = 0; side < 2; ++side) {
                if (!on[side]) continue;
                const float d = side == 0 ? dv : -dv;
                const Entry& e = tab[int(plan[k].base[side] + k_idx * d) & mask];
                const uint32_t th = (side == 0 ? phi : 0u - phi) + nco;
                const float c = st[(th + quarter) >> sh], s = st[th >> sh];
                an[2 * i] += a * e.hn * c;
                an[2 * i + 1] += a * e.hn * s;
                if (track2) {
                    a2[2 * i] += a * e.h2 * c;
                    a2[2 * i + 1] += a * e.h2 * s;
                }
            }
            nco += nco_inc;
        }
        carrier_phase_[k] = phi;
    }

    const float* gt_tab = gauss_table();
    const float sigma = float(noise_sigma_);
    uint16_t flags = 0;
    bool ovf2 = false, ovfn = false;
    for (size_t i = 0; i < m; ++i) {
        double yi = acc_n_[2 * i], yq = acc_n_[2 * i + 1];
        if (sigma > 0.0f) {
            rng_ ^= rng_ << 13;
            rng_ ^= rng_ >> 17;
            rng_ ^= rng_ << 5;
            yi += sigma * gt_tab[rng_ >> (32 - kGaussBits)];
            yq += sigma * gt_tab[rng_ & ((1u << kGaussBits) - 1)];
        }
        yi *= gt;
        yq *= gt;
        if (track2) {
            // A saturating CIC2 output limits what the CICN can deliver at this
            // instant by the same ratio.
            const double ci = std::floor(acc_2_[2 * i] * g2 + 0.5),
                         cq = std::floor(acc_2_[2 * i + 1] * g2 + 0.5);
            double r = 1.0;
            if (ci > 32767.0) r = std::min(r, 32767.0 / ci);
            if (ci < -32768.0) r = std::min(r, -32768.0 / ci);
            if (cq > 32767.0) r = std::min(r, 32767.0 / cq);
            if (cq < -32768.0) r = std::min(r, -32768.0 / cq);
            if (r < 1.0) {
                ovf2 = true;
                yi *= r;
                yq *= r;
            }
        }
        out[2 * i] = saturate(int64_t(std::floor(yi + 0.5)), ovfn);
        out[2 * i + 1] = saturate(int64_t(std::floor(yq + 0.5)), ovfn);
    }
    nco_phase_ += uint32_t(nco_inc * uint32_t(m));
    n_cic_ += m;
    if (ovf2) flags |= qv01::kOvfCic2;
    if (ovfn) flags |= qv01::kOvfCicn;
    return flags;
}

uint16_t ChannelModel::generate(int16_t* iq, size_t n) {
    const size_t per_out = size_t(s_.fir[0].ratio) * size_t(s_.fir[1].ratio);
    const size_t max_out = std::max<size_t>(1, kCicBlock / per_out);
    uint16_t flags = 0;
    bool o1 = false, o2 = false, og = false;
    const int64_t gi = s_.gain_i, gq = s_.gain_q;
    while (n > 0) {
        const size_t k = std::min(n, max_out);
        const size_t m = k * per_out;
        flags |= run_cic(m, buf_a_.data());
        const size_t m1 = fir_[0].process(buf_a_.data(), m, buf_b_.data(), o1);
        const size_t m2 = fir_[1].process(buf_b_.data(), m1, buf_c_.data(), o2);
        // m2 == k: each stage emits exactly one frame per `ratio` inputs.
        for (size_t i = 0; i < m2; ++i) {
            const int64_t x = buf_c_[2 * i], y = buf_c_[2 * i + 1];
            iq[2 * i] = saturate((x * gi - y * gq + 8192) >> 14, og);
            iq[2 * i + 1] = saturate((x * gq + y * gi + 8192) >> 14, og);
        }
        iq += 2 * m2;
        n -= m2;
    }
    if (o1) flags |= qv01::kOvfDfir1;
    if (o2) flags |= qv01::kOvfDfir2;
    if (og) flags |= qv01::kOvfGain;
    return flags;
}

}  // namespace qv01model
