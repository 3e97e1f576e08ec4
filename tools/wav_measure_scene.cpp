#include "wav_measure_scene.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "rf_scene.h"

namespace qvtools {

int station_tones(const std::string& scene_path, double tuned_mhz, StationTones& out,
                  std::string& error) {
    qv01model::RfScene scene;
    if (scene_path.empty()) {
        scene = qv01model::default_scene();
    } else if (int rc = qv01model::load_scene(scene_path, scene, error); rc < 0) {
        return rc;
    }
    constexpr double kChannelMhz = 0.1;
    const qv01model::StationSpec* best = nullptr;
    double best_mhz = 0.0;
    for (const qv01model::StationSpec& st : scene.stations) {
        const double mhz = (st.freq_hz + st.offset_hz) / 1e6;
        if (std::fabs(mhz - tuned_mhz) <= kChannelMhz &&
            (!best || std::fabs(mhz - tuned_mhz) < std::fabs(best_mhz - tuned_mhz))) {
            best = &st;
            best_mhz = mhz;
        }
    }
    if (!best) {
        char text[160];
        std::snprintf(text, sizeof text, "%s: no station within %.1f MHz of %.4g MHz",
                      scene_path.empty() ? "built-in scene" : scene_path.c_str(), kChannelMhz,
                      tuned_mhz);
        error = text;
        return -ESRCH;
    }
    out = StationTones();
    out.name = best->name;
    out.freq_mhz = best_mhz;
    for (const qv01model::ToneSpec& t : best->audio.tones) out.tones_hz.push_back(t.freq_hz);
    for (double f : best->audio.melody_hz)
        if (f > 0.0) out.tones_hz.push_back(f);
    std::sort(out.tones_hz.begin(), out.tones_hz.end());
    out.tones_hz.erase(std::unique(out.tones_hz.begin(), out.tones_hz.end()), out.tones_hz.end());
    out.has_wav = best->audio.wav != nullptr || !best->audio.wav_path.empty();
    return 0;
}

}  // namespace qvtools
