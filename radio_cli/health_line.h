// The text of qv-radio's health line and its progress bar. Plain functions.
#pragma once

#include <string>

#include "receiver.h"

namespace qvradio {

// One line without its end, e.g.
// "103.5000 MHz, AFC -0.4 kHz, carrier -25.1 dBFS, peak -4.8 dBFS, stereo
//  (pilot 9.9 %), SNR 78 dB, ring drops 0, rate +412 ppm, underruns 1".
// Stereo reads "stereo (pilot P %)"; a pilot whose station is blended to
// mono "mono (pilot P %)"; no pilot "mono (no pilot)"; --mono "mono (forced,
// pilot P %)". Silence reads "peak silent", an SNR not yet measured "SNR -".
std::string health_line(const Health& h);

// "[#####.....]  12/30 s" for `done_s` of `total_s`, `width` marks wide.
std::string progress_bar(double done_s, double total_s, int width = 20);

}  // namespace qvradio
