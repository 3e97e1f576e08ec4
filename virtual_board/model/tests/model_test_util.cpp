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

std::unique_ptr<qv01model::Qv01Chip> make_chip(const qv01model::RfScene& scene, double clock_hz, double ppm) {
    return std::make_unique<qv01model::Qv01Chip>(std::make_shared<qv01model::RfScene>(scene), clock_hz, ppm);
}

void configure(qv01model::Qv01Chip& chip, const qv01model::ReferenceChain& chain, double tune_hz, double clock_hz) {
    qv01model::program_channel(chip, 0, chain, qv01model::nco_word_for(tune_hz, clock_hz));
    qv01model::start_receiver(chip);
}

std::vector<std::complex<double>> capture(qv01model::Qv01Chip& chip, size_t n, size_t skip) {
    std::vector<int16_t> buf(2 * (n + skip));
    chip.generate(0, buf.data(), skip);
    chip.generate(0, buf.data() + 2 * skip, n);
    std::vector<std::complex<double>> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = {double(buf[2 * (skip + i)]), double(buf[2 * (skip + i) + 1])};
    return x;
}

std::complex<double> tone(const std::vector<std::complex<double>>& x, double freq_hz, double fs_hz) {
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
