// The QV01 receiver chip behind the virtual board: register file, control
// commands, overflow flags and four channel models fed by one RF scene.
//
// Register semantics (see README.md for the full list):
//  - Everything written while the receiver is stopped takes effect at the
//    start command (0x8001 to register 5).
//  - While running, a new NCO word takes effect on 0x8003, new GAIN values
//    on 5, coefficient banks on 0x8004; the scale fields (bits 0-3 of the
//    CIC2, CICN, DFIR1 and DFIR2 scale registers and scl_mx) act at once, so
//    they can be trimmed live. Ratios, modes and orders wait for the next start.
//  - Overflow flags (base + 0x20) are sticky: set when a stage saturates,
//    cleared when the register is read, by the start and reset commands, and
//    by writing 1 to the channel's bit of register 4.
//
// Threads: write_reg/read_reg from the command thread, output_rate_hz and
// generate from the stream thread; a mutex guards the register file and a
// second one the channel datapaths, so a register write never waits for a
// whole generate call.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channel_model.h"
#include "channel_settings.h"
#include "qv01_regs.h"
#include "rf_scene.h"
#include "virtual_chip.h"

namespace qv01model {

struct ChipModelOptions {
    double clock_hz = 66.0e6;  // nominal chip (ADC) clock
    double ppm = 0.0;          // sample-clock error: true clock = clock_hz * (1 + ppm / 1e6)
    std::string scene_path;    // empty: the built-in default scene
};

class Qv01Chip final : public vboard::VirtualChip {
  public:
    Qv01Chip(std::shared_ptr<const RfScene> scene, double clock_hz, double ppm);
    Qv01Chip(const Qv01Chip&) = delete;
    Qv01Chip& operator=(const Qv01Chip&) = delete;

    void write_reg(int addr, uint16_t value) override;
    uint16_t read_reg(int addr) override;
    double output_rate_hz(int channel) override;
    void generate(int channel, int16_t* iq, size_t n) override;

    double adc_rate_hz() const { return adc_rate_hz_; }

  private:
    // What is in effect for one channel, with a sequence number per kind of
    // change so the stream thread applies exactly what changed.
    struct Latched {
        ChannelSettings s;
        uint32_t restart = 0, nco = 0, gain = 0, scales = 0, coef = 0, sync = 0;
    };
    struct Runtime {
        std::unique_ptr<ChannelModel> model;
        Latched seen;
        bool valid = false;
    };
    void command(uint16_t value);

    std::shared_ptr<const RfScene> scene_;
    double adc_rate_hz_;

    std::mutex reg_mu_;  // guards regs_, running_, started_, latched_
    std::array<uint16_t, vboard::kChipRegisterCount> regs_{};
    bool running_ = false;
    bool started_ = false;
    std::array<Latched, qv01::kChannels> latched_{};
    std::array<std::atomic<uint16_t>, qv01::kChannels> flags_{};

    std::mutex gen_mu_;  // guards rt_ (stream thread)
    std::array<Runtime, qv01::kChannels> rt_;
};

// Builds the chip with the scene of opts.scene_path (or the default scene).
// On a bad scene (see load_scene), one the model cannot run in real time at
// the clock (check_scene_real_time), a clock that is not positive and finite
// or a ppm error not above -1e6, returns null and sets `error` (when not
// null). Never throws.
std::unique_ptr<vboard::VirtualChip> make_qv01_chip(const ChipModelOptions& opts,
                                                    std::string* error);

// The checks of make_qv01_chip without building the chip: 0, or a negative
// error number with `error` set. `warnings` (when not null) receives what is
// allowed but doubtful: what the configuration scanner said about the scene
// file ("scene file /abs/x.ini: Unrecognized character: ;, file ..."), a
// scene near the real-time bound. Prints nothing.
int check_qv01_chip(const ChipModelOptions& opts, std::string& error,
                    std::vector<std::string>* warnings);

}  // namespace qv01model
