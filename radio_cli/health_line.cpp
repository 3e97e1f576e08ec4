#include "health_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qvradio {

std::string health_line(const Health& h) {
    char text[320];
    char afc[32] = "";
    if (h.afc) std::snprintf(afc, sizeof afc, ", AFC %+.1f kHz", h.afc_hz / 1e3);
    char peak[32] = "peak silent";
    if (h.peak_dbfs > -199) std::snprintf(peak, sizeof peak, "peak %.1f dBFS", h.peak_dbfs);
    char mode[48];
    if (h.mono_forced)
        std::snprintf(mode, sizeof mode, h.pilot ? "mono (forced, pilot %.1f %%)" : "mono (forced)",
                      h.pilot_percent);
    else if (!h.pilot)
        std::snprintf(mode, sizeof mode, "mono (no pilot)");
    else
        std::snprintf(mode, sizeof mode, "%s (pilot %.1f %%)", h.stereo ? "stereo" : "mono",
                      h.pilot_percent);
    char snr[24] = "SNR -";
    if (std::isfinite(h.snr_db)) std::snprintf(snr, sizeof snr, "SNR %.0f dB", h.snr_db);
    std::snprintf(text, sizeof text,
                  "%.4f MHz%s, carrier %.1f dBFS, %s, %s, %s, ring drops %llu, rate %+.0f ppm, "
                  "underruns %llu",
                  h.tuned_hz / 1e6, afc, h.carrier_dbfs, peak, mode, snr,
                  static_cast<unsigned long long>(h.ring_drops), h.rate_ppm,
                  static_cast<unsigned long long>(h.underruns));
    return text;
}

std::string progress_bar(double done_s, double total_s, int width) {
    const double share = total_s > 0 ? std::clamp(done_s / total_s, 0.0, 1.0) : 0.0;
    const int marks = static_cast<int>(share * width + 0.5);
    std::string bar = "[" + std::string(marks, '#') + std::string(width - marks, '.') + "]";
    char text[48];
    std::snprintf(text, sizeof text, "  %.0f/%.0f s", std::floor(done_s), total_s);
    return bar + text;
}

}  // namespace qvradio
