// The simple receiver chip behind the virtual board's chip bus: a plain
// register file with the QV01's control and decimation registers, delivering
// a test pattern (tone or counter) at the rate its decimation registers give.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "qv01_regs.h"
#include "vboard_control.h"
#include "virtual_chip.h"

namespace vboard {

class SimpleChip final : public VirtualChip {
  public:
    // clock_hz: the chip clock (66 MHz on the board); pattern: what generate() delivers.
    SimpleChip(double clock_hz, Pattern pattern);
    SimpleChip(const SimpleChip&) = delete;
    SimpleChip& operator=(const SimpleChip&) = delete;

    // Register 1 always reads kSimpleChipDeviceId and register 32 (overflow
    // flags) always 0; writes to them are ignored. Register 5 controls the
    // receiver: 0 and 0x8000 stop it; any value with bit 0 set starts it when
    // stopped (patterns restart at frame 0) and keeps it running otherwise,
    // so 0x8003 after an NCO change and 5 after a gain change do not disturb a
    // running stream; other values leave the run state alone.
    void write_reg(int addr, uint16_t value) override;
    uint16_t read_reg(int addr) override;

    // clock / (CIC2 ratio * CICN ratio * DFIR1 ratio * DFIR2 ratio) of the
    // channel, from registers 0x24, 0x25, 0x26, 0x28 at base 0x100 * channel.
    double output_rate_hz(int channel) override;
    void generate(int channel, int16_t* iq, size_t n) override;

    static constexpr double kToneHz = 10.0e3;
    static constexpr double kToneAmplitude = 16384.0;  // -6 dBFS of int16

  private:
    double rate_locked(int channel) const;

    const double clock_hz_;
    const Pattern pattern_;
    std::mutex m_;  // guards everything below: GUI thread writes, stream thread generates
    std::array<uint16_t, kChipRegisterCount> regs_{};
    bool running_ = false;
    std::array<uint64_t, qv01::kChannels> frame_{};  // frames delivered since receiver start
    std::array<double, qv01::kChannels> phase_{};    // tone phase, radians in [0, 2 pi)
};

}  // namespace vboard
