#include "channel_model.h"

#include <algorithm>
#include <cmath>
#include <complex>

#include "qv01_regs.h"

namespace qv01model {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwo32 = 4294967296.0;
constexpr double kFullScale = 32767.0;  // mixer output amplitude of a full-scale ADC sine
constexpr size_t kCicBlock = 4096;      // CICN output samples per synthesis block
// Unit Gaussian noise drawn once from the generator (4 MiB); a block takes a
// run of consecutive samples at a random place, those of I from the first
// half, those of Q from the second. Half the store lasts 0.29 s at a CICN
// output of 1.833 MHz.
constexpr size_t kNoiseStore = size_t(1) << 20;
// A component whose largest contribution stays below this many LSBs is not
// synthesised; it cannot change a rounded 16-bit stage output.
constexpr double kNegligibleLsb = 1e-3;

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

// In-place radix-2 discrete Fourier transform, X_k = sum x_i e^{-j 2 pi k i / n}
// (n a power of two).
void fft(std::vector<std::complex<double>>& x) {
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const double a = -2.0 * kPi / double(len);
        for (size_t k = 0; k < len / 2; ++k) {
            const std::complex<double> w(std::cos(a * double(k)), std::sin(a * double(k)));
            for (size_t i = k; i < n; i += len) {
                const std::complex<double> u = x[i], v = x[i + len / 2] * w;
                x[i] = u + v;
                x[i + len / 2] = u - v;
            }
        }
    }
}

// A DFIR's 2n + 1 taps as the stage applies them.
std::vector<double> fir_taps(const FirSettings& s) {
    const int n = s.half;
    std::vector<double> t(size_t(2 * n + 1));
    for (int k = 0; k < n; ++k) {
        t[size_t(k)] = s.coef[size_t(k)];
        t[size_t(2 * n - k)] = s.antisym ? -double(s.coef[size_t(k)]) : s.coef[size_t(k)];
    }
    t[size_t(n)] = s.coef[size_t(n)];
    return t;
}

uint32_t xorshift(uint32_t& s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

const float* noise_store() {
    // Never destroyed, like the tables (the stream thread may still run at exit).
    static const std::vector<float>* const store = new std::vector<float>([] {
        // Each state of the generator gives a sample of I from its high 16
        // bits and one of Q from its low 16 bits.
        std::vector<float> v(kNoiseStore);
        const float* gt = gauss_table();
        uint32_t rng = 0x12345678u;
        for (size_t k = 0; k < kNoiseStore / 2; ++k) {
            const uint32_t s = xorshift(rng);
            v[k] = gt[s >> (32 - kGaussBits)];
            v[kNoiseStore / 2 + k] = gt[s & ((1u << kGaussBits) - 1)];
        }
        return v;
    }());
    return store->data();
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
    // The vector dot product sums 16-bit products in pairs into eight 32-bit
    // lanes per 16 taps (four per 8 at the end); it is exact when every tap fits 16 bits and no
    // lane's share of the taps can reach 2^31 with full-scale inputs.
    const size_t len = taps_.size();
    const size_t padded = (len + 7) / 8 * 8;
    rev_.assign(padded, 0);
    bool packed = true;
    int64_t lane_sum[8] = {};
    for (size_t j = 0; j < len; ++j) {
        const int32_t t = taps_[len - 1 - j];
        if (t < -32768 || t > 32767) packed = false;
        rev_[j] = int16_t(t);
        lane_sum[(j % 16) / 2] += std::abs(int64_t(t)) * 32768;
    }
    for (int64_t v : lane_sum) packed = packed && v < (int64_t(1) << 31);
    layout_ = FirTaps{rev_.data(), taps_.data(), len, padded, packed};
    ratio_ = s.ratio;
    phase_ = s.phase % s.ratio;
    set_scale(s.scale);
    reset();
}

void FirStage::reset() {
    x_i_.assign(taps_.size() - 1, 0);
    x_q_.assign(taps_.size() - 1, 0);
    count_ = 0;
}

size_t FirStage::process(const int16_t* in_i, const int16_t* in_q, size_t n, int16_t* out_i,
                         int16_t* out_q, bool& overflow) {
    const size_t h = taps_.size() - 1;
    const size_t room = h + n + layout_.padded;
    if (x_i_.size() < room) {
        x_i_.resize(room, 0);
        x_q_.resize(room, 0);
    }
    std::copy(in_i, in_i + n, x_i_.begin() + long(h));
    std::copy(in_q, in_q + n, x_q_.begin() + long(h));
    // First input index j with (count_ + j) % ratio == phase.
    const size_t j = size_t((uint64_t(phase_) + uint64_t(ratio_) - count_ % uint64_t(ratio_)) %
                            uint64_t(ratio_));
    const size_t produced = j < n ? (n - j + size_t(ratio_) - 1) / size_t(ratio_) : 0;
    if (acc_i_.size() < produced) {
        acc_i_.resize(produced);
        acc_q_.resize(produced);
    }
    synth_kernels().fir_dot(layout_, x_i_.data(), x_q_.data(), h + j, size_t(ratio_), produced,
                            acc_i_.data(), acc_q_.data());
    const int64_t round = int64_t(1) << (shift_ - 1);
    for (size_t k = 0; k < produced; ++k) {
        out_i[k] = saturate((acc_i_[k] + round) >> shift_, overflow);
        out_q[k] = saturate((acc_q_[k] + round) >> shift_, overflow);
    }
    count_ += n;
    std::copy(x_i_.begin() + long(n), x_i_.begin() + long(n + h), x_i_.begin());
    std::copy(x_q_.begin() + long(n), x_q_.begin() + long(n + h), x_q_.begin());
    return produced;
}

// ------------------------------------------------------------ ChannelModel

ChannelModel::ChannelModel(std::shared_ptr<const RfScene> scene, double adc_rate_hz)
    : scene_(std::move(scene)), adc_rate_hz_(adc_rate_hz) {
    noise_store();  // drawn here, not in the first call for samples
}

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
    h2_.assign(n + 2 * kTablePad, 0.0f);
    hn_.assign(n + 2 * kTablePad, 0.0f);
    double sum_sq = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double x = double(i) / double(n) - 0.5;
        const double h2 = s_.cic2_on ? std::pow(dirichlet(x, s_.cic2_ratio), 2) : 1.0;
        const double hn = cic_response(x);
        h2_[kTablePad + i] = float(h2);
        hn_[kTablePad + i] = float(hn);
        sum_sq += hn * hn;
    }
    for (auto* t : {&h2_, &hn_}) {
        std::copy_n(t->begin() + long(n), kTablePad, t->begin());
        std::copy_n(t->begin() + kTablePad, kTablePad, t->begin() + long(n + kTablePad));
    }
    // White ADC noise of variance v, mixed to complex baseband with the
    // mixer's factor 2, has 2v per I and Q; the CICs pass sum(h^2) of it,
    // which equals the mean of |H|^2 over one ADC band.
    const double v = kFullScale * kFullScale / 2.0 * std::pow(10.0, scene_->noise_dbfs / 10.0);
    noise_sigma_ = std::sqrt(2.0 * v * sum_sq / double(n));
}

void ChannelModel::build_reach() {
    const std::vector<double> t1 = fir_taps(s_.fir[0]), t2 = fir_taps(s_.fir[1]);
    const size_t r1 = size_t(s_.fir[0].ratio);
    const size_t len = t1.size() + r1 * (t2.size() - 1);
    std::vector<double> h(len, 0.0);
    for (size_t i = 0; i < t1.size(); ++i)
        for (size_t k = 0; k < t2.size(); ++k) h[i + r1 * k] += t1[i] * t2[k];
    taps_abs_[0] = taps_abs_[1] = 0.0;
    for (double v : t1) taps_abs_[0] += std::fabs(v);
    for (double v : h) taps_abs_[1] += std::fabs(v);
    // |H| and |H'| at kPoints frequencies (the response taken about the
    // filter's centre c, which leaves |H| as it is); between two of them,
    // within d = half a spacing of one, |H| stays below |H| + |H'| d plus
    // max |H''| d^2 / 2, and max |H''| <= (2 pi)^2 sum (i - c)^2 |h_i|.
    constexpr size_t kPoints = 32768, kChunk = 64;
    std::vector<std::complex<double>> a(kPoints), b(kPoints);
    const double c = double(len - 1) / 2.0;
    double curve = 0.0;
    for (size_t i = 0; i < len; ++i) {
        const double di = double(i) - c;
        a[i % kPoints] += h[i];
        b[i % kPoints] += 2.0 * kPi * di * h[i];
        curve += 4.0 * kPi * kPi * di * di * std::fabs(h[i]);
    }
    fft(a);
    fft(b);
    const double d = 0.5 / double(kPoints);
    reach_.assign(kPoints / kChunk, 0.0);
    for (size_t j = 0; j < reach_.size(); ++j) {
        double r = 0.0;
        for (size_t k = j * kChunk; k <= (j + 1) * kChunk; ++k) {
            const size_t p = k % kPoints;
            r = std::max(r, std::abs(a[p]) + std::abs(b[p]) * d);
        }
        reach_[j] = r + curve * d * d / 2.0;
    }
}

double ChannelModel::reach(double lo, double hi) const {
    const size_t n = reach_.size();
    double r = 0.0;
    if (hi - lo >= 1.0) {
        r = *std::max_element(reach_.begin(), reach_.end());
    } else {
        const long first = long(std::floor(lo * double(n)));
        const long count = long(std::floor(hi * double(n))) - first + 1;
        size_t j = size_t(((first % long(n)) + long(n)) % long(n));
        for (long k = 0; k < count; ++k, j = j + 1 == n ? 0 : j + 1) r = std::max(r, reach_[j]);
    }
    return r * dfir_gain() * std::hypot(double(s_.gain_i), double(s_.gain_q)) / 16384.0;
}

double ChannelModel::dfir_gain() const {
    return std::ldexp(1.0, s_.fir[0].scale - 21 + s_.fir[1].scale - 21);
}

bool ChannelModel::cannot_clip(double peak) const {
    const double g1 = std::ldexp(1.0, s_.fir[0].scale - 21), g12 = dfir_gain();
    const double g = std::hypot(double(s_.gain_i), double(s_.gain_q)) / 16384.0;
    return peak < 32767.0 && peak * taps_abs_[0] * g1 < 32767.0 &&
           peak * taps_abs_[1] * g12 < 32767.0 && peak * taps_abs_[1] * g12 * g < 32767.0;
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
    build_reach();
    mpx_.resize(kCicBlock);
    acc_.resize(2 * kCicBlock);
    acc2_.resize(2 * kCicBlock);
    for (auto* v : {&cic_i_, &cic_q_, &fir1_i_, &fir1_q_, &fir2_i_, &fir2_q_}) v->resize(kCicBlock);
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
    build_reach();
}

void ChannelModel::sync_nco(uint16_t phase) {
    s_.nco_phase = phase;
    nco_phase_ = uint32_t(phase) << 16;
}

// Synthesises m CICN output samples (m <= kCicBlock) into out_i, out_q.
uint16_t ChannelModel::run_cic(size_t m, int16_t* out_i, int16_t* out_q) {
    const SynthKernels& kx = synth_kernels();
    const double fs_cic = adc_rate_hz_ / d_cic_;
    const double t = double(n_cic_) / fs_cic;
    const double nco_cycles = double(s_.nco_word) / kTwo32;  // per ADC sample
    const uint32_t nco_inc = uint32_t(uint64_t(s_.nco_word) * uint64_t(d_cic_));
    const double g2 = s_.cic2_gain();
    const double gt = g2 * s_.cicn_gain();
    const int tsize = 1 << table_bits_;
    const int mask = tsize - 1;
    const float* h2 = h2_.data() + kTablePad;
    const float* hn = hn_.data() + kTablePad;

    // The sums of I, then those of Q.
    std::fill_n(acc_.begin(), m, 0.0f);
    std::fill_n(acc_.begin() + long(kCicBlock), m, 0.0f);

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
    // Largest |tab[i & mask]| for i in lo..hi.
    auto window_peak = [&](const float* tab, long lo, long hi) {
        float p = 0.0f;
        while (lo <= hi) {
            const long start = lo & mask;
            const long len = std::min(hi - lo + 1, long(tsize) - start);
            p = std::max(p, kx.peak_abs(tab + start, size_t(len)));
            lo += len;
        }
        return double(p);
    };
    double bound2 = 0.0, bound_n = 0.0;
    for (size_t k = 0; k < ns; ++k) {
        const StationSpec& sp = scene_->stations[k];
        const double f = sp.freq_hz + sp.offset_hz + sp.drift_hz_per_s * t;
        const double dev_entries = sp.deviation_hz / adc_rate_hz_ * tsize * 1.5 + 2.0;
        // Where the multiplex can take it at all.
        const double swing = std::max(1.5, 1.01 * synth_[k].peak());
        const double reach_entries = sp.deviation_hz / adc_rate_hz_ * tsize * swing + 2.0;
        for (int side = 0; side < 2; ++side) {
            const double u = wrap_half((side == 0 ? f : -f) / adc_rate_hz_ + nco_cycles);
            const double pos = (u + 0.5) * tsize;
            plan[k].base[side] = float(pos);
            const long lo = long(pos - dev_entries), hi = long(pos + dev_entries);
            const double m2 = window_peak(h2, lo, hi), mn = window_peak(hn, lo, hi);
            plan[k].max2[side] = m2 * amp_[k] * std::fabs(g2);
            plan[k].maxn[side] = mn * amp_[k] * std::fabs(gt);
            bound2 += plan[k].max2[side];
            // At the channel output: the CICN output frequency is d_cic times
            // the frequency at the ADC rate.
            const long wlo = long(pos - reach_entries) - 1, whi = long(pos + reach_entries) + 1;
            plan[k].max_out[side] = window_peak(hn, wlo, whi) * amp_[k] * std::fabs(gt);
            bound_n += plan[k].max_out[side];
            plan[k].max_out[side] *=
                reach((double(wlo) / tsize - 0.5) * d_cic_, (double(whi) / tsize - 0.5) * d_cic_);
        }
    }
    // The CIC2 output needs following only when it could reach full scale.
    const bool track2 = bound2 + 6.0 * noise_sigma_ * std::fabs(g2) > 32767.0;
    // When no stage can clip, a component that cannot move the channel
    // output by kNegligibleLsb is not synthesised either: the DFIRs would
    // take it out.
    const bool linear = !track2 && cannot_clip(bound_n + 6.0 * noise_sigma_ * std::fabs(gt));
    if (track2) {
        std::fill_n(acc2_.begin(), m, 0.0f);
        std::fill_n(acc2_.begin() + long(kCicBlock), m, 0.0f);
    }

    ComponentBlock c;
    c.mpx = mpx_.data();
    c.m = m;
    c.nco = nco_phase_;
    c.nco_inc = nco_inc;
    c.h2 = h2;
    c.hn = hn;
    c.table_mask = uint32_t(mask);
    c.acc = acc_.data();
    c.acc2 = track2 ? acc2_.data() : nullptr;
    c.q_stride = kCicBlock;
    for (size_t k = 0; k < ns; ++k) {
        const StationSpec& sp = scene_->stations[k];
        for (int side = 0; side < 2; ++side) {
            c.on[side] = plan[k].maxn[side] > kNegligibleLsb ||
                         (track2 && plan[k].max2[side] > kNegligibleLsb);
            if (linear && plan[k].max_out[side] <= kNegligibleLsb) c.on[side] = false;
            c.base[side] = plan[k].base[side];
        }
        const double f = sp.freq_hz + sp.offset_hz + sp.drift_hz_per_s * t;
        c.c_inc = cycles_to_q32(f / adc_rate_hz_ * d_cic_);
        if (!c.on[0] && !c.on[1]) {
            carrier_phase_[k] += uint32_t(c.c_inc * uint32_t(m));
            continue;
        }
        synth_[k].render(n_cic_, mpx_.data(), m);
        c.k_inc = float(sp.deviation_hz / adc_rate_hz_ * d_cic_ * kTwo32);
        c.k_idx = float(sp.deviation_hz / adc_rate_hz_ * tsize);
        c.amp = amp_[k];
        c.phase = carrier_phase_[k];
        carrier_phase_[k] = kx.component(c);
    }

    CicnOutput o;
    o.acc = c.acc;
    o.acc2 = c.acc2;
    o.q_stride = c.q_stride;
    o.m = m;
    o.sigma = float(noise_sigma_);
    if (o.sigma > 0.0f) {
        const float* store = noise_store();
        const uint32_t places = uint32_t(kNoiseStore / 2 - m + 1);
        o.gauss_i = store + xorshift(rng_) % places;
        o.gauss_q = store + kNoiseStore / 2 + xorshift(rng_) % places;
    }
    o.gain = gt;
    o.gain2 = g2;
    o.out_i = out_i;
    o.out_q = out_q;
    kx.cicn_output(o);
    nco_phase_ += uint32_t(nco_inc * uint32_t(m));
    n_cic_ += m;
    uint16_t flags = 0;
    if (o.cic2_clipped) flags |= qv01::kOvfCic2;
    if (o.cicn_clipped) flags |= qv01::kOvfCicn;
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
        flags |= run_cic(m, cic_i_.data(), cic_q_.data());
        const size_t m1 =
            fir_[0].process(cic_i_.data(), cic_q_.data(), m, fir1_i_.data(), fir1_q_.data(), o1);
        const size_t m2 =
            fir_[1].process(fir1_i_.data(), fir1_q_.data(), m1, fir2_i_.data(), fir2_q_.data(), o2);
        // m2 == k: each stage emits exactly one frame per `ratio` inputs.
        for (size_t i = 0; i < m2; ++i) {
            const int64_t x = fir2_i_[i], y = fir2_q_[i];
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
