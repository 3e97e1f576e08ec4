#include "chip_factory.h"

#include "simple_chip.h"

namespace vboard {

// The simple chip answers the register protocol and delivers the test patterns;
// scene_path and ppm are meant for the full QV01 channel model and are not used
// by it.
std::shared_ptr<VirtualChip> make_chip(const ChipSetup& setup) {
    return std::make_shared<SimpleChip>(setup.clock_hz, setup.pattern);
}

}  // namespace vboard
