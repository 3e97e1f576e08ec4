// The one place that decides which chip sits behind the virtual board's bus.
#pragma once

#include <memory>
#include <string>

#include "vboard_control.h"
#include "virtual_chip.h"

namespace vboard {

struct ChipSetup {
    double clock_hz = kDefaultClockHz;  // chip clock, Hz
    Pattern pattern = Pattern::scene;   // the chip model, or the simple chip's pattern
    std::string scene_path;             // RF scene file of the chip model; empty: default scene
    double ppm = 0.0;                   // clock error of the full model, parts per million
};

// A chip in its power-on state, or null with `error` set when the chip model's
// scene file cannot be used.
std::shared_ptr<VirtualChip> make_chip(const ChipSetup& setup, std::string* error);

}  // namespace vboard
