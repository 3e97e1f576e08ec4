// The virtual board's settings from the environment, read once when the board
// comes into existence in the process (the launcher turns its options into
// these variables and checks them first; vboard_control.h overrides them
// afterwards):
//   QV_VIRTUAL_PATTERN       scene, tone or counter; else the scene
//   QV_VIRTUAL_CLOCK_HZ      chip clock, a finite number > 0; else kDefaultClockHz
//   QV_VIRTUAL_PPM           clock error of the chip model, parts per million
//   QV_VIRTUAL_SCENE         RF scene file of the chip model
//   QV_VIRTUAL_TRACE         protocol trace file, appended to
//   QV_VIRTUAL_UNPLUG_AFTER  seconds (finite, >= 0) until the cable is pulled
//   QV_VIRTUAL_REPLUG_AFTER  seconds (finite, >= 0) from the unplug until the replug
//   QV_VIRTUAL_DENY_OPEN     1: the board cannot be opened (no permission); else it can
// Bad values of the pattern, clock and seconds are ignored: the setting keeps
// its default. The scene and the ppm are judged when the chip is made.
//
// Threads: reads the environment, so call it while no thread changes the
// environment (the board's constructor does, once).
#pragma once

#include <string>

#include "chip_factory.h"

namespace vboard {

struct BoardSettings {
    ChipSetup chip;
    std::string trace_path;        // empty: no trace
    double unplug_after_s = -1.0;  // < 0: the board stays plugged in
    double replug_after_s = -1.0;  // < 0: no replug after the unplug
    bool deny_open = false;        // opening fails as without permission
};

BoardSettings settings_from_environment();

}  // namespace vboard
