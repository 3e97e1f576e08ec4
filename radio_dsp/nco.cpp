#include "nco.h"

#include <cmath>

#include "qv01_regs.h"
#include "resampler_kernel.h"

namespace radio_dsp {

uint32_t nco_word(double freq_hz, double clock_hz) {
    const double x = std::trunc(freq_hz / clock_hz * 4294967296.0);
    if (!std::isfinite(x)) return 0;
    // Low 32 bits of the two's complement integer, without an out-of-range cast.
    double m = std::fmod(x, 4294967296.0);
    if (m < 0) m += 4294967296.0;
    return static_cast<uint32_t>(m);
}

void write_nco_word(uint32_t word, const RegisterWriter& write) {
    if (!write) return;
    write(qv01::reg_addr(0, qv01::kOffNcoLow), static_cast<int>(word & 0xFFFF));
    write(qv01::reg_addr(0, qv01::kOffNcoHigh), static_cast<int>((word >> 16) & 0xFFFF));
    write(qv01::kRegControl, qv01::kCmdNcoUpdate);
}

double afc_frequency_error(const int16_t* stereo_frames) {
    const double* window = blackman_half_window();
    double s = 0.0;
    for (int k = 0; k < kBlackmanHalfLength; ++k)
        s += window[k] * (stereo_frames[2 * k] + stereo_frames[2 * (4095 - k)]);
    return s * 75000.0 / 56355963.3;
}

}  // namespace radio_dsp
