// The one place that decides which chip sits behind the virtual board's bus.
#pragma once

#include <memory>
#include <string>

#include "vboard_control.h"
#include "virtual_chip.h"

namespace vboard {

struct ChipSetup {
    double clock_hz = kDefaultClockHz;  // chip clock, Hz
    Pattern pattern = Pattern::tone;    // simple chip's sample source
    std::string scene_path;             // RF scene file of the full model; empty: none
    double ppm = 0.0;                   // clock error of the full model, parts per million
};

// A chip in its power-on state. Never null.
std::shared_ptr<VirtualChip> make_chip(const ChipSetup& setup);

}  // namespace vboard
