#include "model_test_util.h"

#include <cmath>

namespace qv01test {

qv01model::RfScene cw_scene(double freq_hz, double level_dbfs, double noise_dbfs) {
    qv01model::RfScene sc;
    sc.noise_dbfs = noise_dbfs;
    qv01model::StationSpec s;
    s.name = "CW";
    s.freq_hz = freq_hz;
    s.level_dbfs = level_dbfs;
    s.deviation_hz = 0.0;
    s.preemphasis_us = 0.0;
    sc.stations.push_back(s);
    return sc;
}

std::unique_ptr<qv01model::Qv01Chip> make_chip(const qv01model::RfScene& scene, double clock_hz,
                                               double ppm) {
    return std::make_unique<qv01model::Qv01Chip>(std::make_shared<qv01model::RfScene>(scene),
                                                 clock_hz, ppm);
}

void configure(qv01model::Qv01Chip& chip, const qv01model::ReferenceChain& chain, double tune_hz,
               double clock_hz) {
    qv01model::program_channel(chip, 0, chain, qv01model::nco_word_for(tune_hz, clock_hz));
    qv01model::start_receiver(chip);
}

std::vector<std::complex<double>> capture(qv01model::Qv01Chip& chip, size_t n, size_t skip) {
    std::vector<int16_t> buf(2 * (n + skip));
    chip.generate(0, buf.data(), skip);
    chip.generate(0, buf.data() + 2 * skip, n);
    std::vector<std::complex<double>> x(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = {double(buf[2 * (skip + i)]), double(buf[2 * (skip + i) + 1])};
    return x;
}

std::complex<double> tone(const std::vector<std::complex<double>>& x, double freq_hz,
                          double fs_hz) {
    std::complex<double> acc = 0.0;
    const double w = -2.0 * M_PI * freq_hz / fs_hz;
    for (size_t i = 0; i < x.size(); ++i) acc += x[i] * std::polar(1.0, w * double(i));
    return acc / double(x.size());
}

double dominant_frequency(const std::vector<std::complex<double>>& x, double fs_hz) {
    std::complex<double> acc = 0.0;
    for (size_t i = 1; i < x.size(); ++i) acc += x[i] * std::conj(x[i - 1]);
    return std::arg(acc) / (2.0 * M_PI) * fs_hz;
}

double db(double ratio) { return 20.0 * std::log10(ratio); }

}  // namespace qv01test

namespace qv01test {

std::vector<double> fm_receive(const std::vector<std::complex<double>>& x, double fs_hz,
                               double deemphasis_us) {
    std::vector<double> f(x.size(), 0.0);
    for (size_t i = 1; i < x.size(); ++i)
        f[i] = std::arg(std::conj(x[i]) * x[i - 1]) * fs_hz / (2.0 * M_PI);
    if (deemphasis_us > 0.0) {
        const double a = 1.0 - std::exp(-1.0 / (fs_hz * deemphasis_us * 1e-6));
        double y = 0.0;
        for (double& v : f) v = y += a * (v - y);
    }
    const int taps = 401, half = taps / 2;
    const double fc = 15e3 / fs_hz;
    std::vector<double> h(taps);
    double sum = 0.0;
    for (int k = 0; k < taps; ++k) {
        const int m = k - half;
        const double sinc = m == 0 ? 2.0 * fc : std::sin(2.0 * M_PI * fc * m) / (M_PI * m);
        const double w = 0.42 - 0.5 * std::cos(2.0 * M_PI * k / (taps - 1)) +
                         0.08 * std::cos(4.0 * M_PI * k / (taps - 1));
        sum += h[size_t(k)] = sinc * w;
    }
    std::vector<double> out;
    for (size_t i = taps; i < f.size(); i += 4) {
        double acc = 0.0;
        for (int k = 0; k < taps; ++k) acc += h[size_t(k)] * f[i - size_t(k)];
        out.push_back(acc / sum);
    }
    return out;
}

std::vector<double> fit_tones(const std::vector<double>& y, size_t begin, size_t end, double fs_hz,
                              const std::vector<double>& freqs_hz, double* signal, double* residual,
                              std::vector<double>* phase_rad, double* dc) {
    const size_t nb = 1 + 2 * freqs_hz.size();
    auto basis = [&](size_t b, size_t i) {
        if (b == 0) return 1.0;
        const double w = 2.0 * M_PI * freqs_hz[(b - 1) / 2] / fs_hz * double(i);
        return (b % 2) ? std::cos(w) : std::sin(w);
    };
    // Normal equations, solved by Gaussian elimination with partial pivoting.
    std::vector<double> a(nb * (nb + 1), 0.0);
    for (size_t i = begin; i < end; ++i) {
        for (size_t r = 0; r < nb; ++r) {
            const double br = basis(r, i);
            for (size_t c = 0; c < nb; ++c) a[r * (nb + 1) + c] += br * basis(c, i);
            a[r * (nb + 1) + nb] += br * y[i];
        }
    }
    for (size_t c = 0; c < nb; ++c) {
        size_t p = c;
        for (size_t r = c + 1; r < nb; ++r)
            if (std::fabs(a[r * (nb + 1) + c]) > std::fabs(a[p * (nb + 1) + c])) p = r;
        for (size_t k = 0; k <= nb; ++k) std::swap(a[c * (nb + 1) + k], a[p * (nb + 1) + k]);
        for (size_t r = 0; r < nb; ++r) {
            if (r == c) continue;
            const double m = a[r * (nb + 1) + c] / a[c * (nb + 1) + c];
            for (size_t k = c; k <= nb; ++k) a[r * (nb + 1) + k] -= m * a[c * (nb + 1) + k];
        }
    }
    std::vector<double> coef(nb);
    for (size_t r = 0; r < nb; ++r) coef[r] = a[r * (nb + 1) + nb] / a[r * (nb + 1) + r];
    for (size_t i = begin; i < end; ++i) {
        double fit = 0.0;
        for (size_t b = 1; b < nb; ++b) fit += coef[b] * basis(b, i);
        const double res = y[i] - coef[0] - fit;
        *signal += fit * fit;
        *residual += res * res;
    }
    std::vector<double> amp;
    for (size_t k = 0; k < freqs_hz.size(); ++k)
        amp.push_back(std::hypot(coef[1 + 2 * k], coef[2 + 2 * k]));
    if (phase_rad) {
        // c cos + s sin = A sin(w i + psi) with c = A sin psi, s = A cos psi.
        phase_rad->clear();
        for (size_t k = 0; k < freqs_hz.size(); ++k)
            phase_rad->push_back(std::atan2(coef[1 + 2 * k], coef[2 + 2 * k]));
    }
    if (dc) *dc = coef[0];
    return amp;
}

}  // namespace qv01test
