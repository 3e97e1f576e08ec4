// What a station of the virtual board's RF scene plays, so that a recording
// of a program tuned to it can be checked against the station's own tones.
#pragma once

#include <string>
#include <vector>

namespace qvtools {

struct StationTones {
    std::string name;       // the station's section name
    double freq_mhz = 0.0;  // its carrier (frequency plus offset)
    std::vector<double>
        tones_hz;          // steady tones of either side and melody notes, ascending, no rests
    bool has_wav = false;  // it also plays a WAV file, whose content is not listed
};

// Finds the station of the scene in `scene_path` (empty: the virtual board's
// built-in scene) whose carrier lies nearest to `tuned_mhz`, within 0.1 MHz (a
// receiver channel). A stereo station is listed with the tones of both sides,
// as a mono receiver plays their sum. Returns 0; the scene reader's negative
// error number with `error` naming file and key; -ESRCH when no station is
// that near, with `error` saying so.
int station_tones(const std::string& scene_path, double tuned_mhz, StationTones& out,
                  std::string& error);

}  // namespace qvtools
