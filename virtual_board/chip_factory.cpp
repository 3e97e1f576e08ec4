#include "chip_factory.h"

#include "qv01_chip.h"
#include "simple_chip.h"

namespace vboard {

std::shared_ptr<VirtualChip> make_chip(const ChipSetup& setup, std::string* error) {
    if (setup.pattern != Pattern::scene)
        return std::make_shared<SimpleChip>(setup.clock_hz, setup.pattern);
    qv01model::ChipModelOptions options;
    options.clock_hz = setup.clock_hz;
    options.ppm = setup.ppm;
    options.scene_path = setup.scene_path;
    return qv01model::make_qv01_chip(options, error);
}

}  // namespace vboard
