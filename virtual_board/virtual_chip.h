// The receiver chip as the virtual board's firmware sees it: a register file on
// the chip bus and a source of output frames for the sample stream.
//
// The virtual board's bridge turns chip-bus address/data phases into
// write_reg/read_reg calls; its stream pacer asks the chip how fast the
// selected channel runs and pulls frames from it. Two implementations exist:
// a simple one (tone or counter pattern, for link tests) and the full QV01
// channel model with an RF scene.
//
// Threads: write_reg/read_reg are called on whatever thread issues the USB
// command (the program's GUI thread); output_rate_hz/generate on the virtual
// board's stream thread. Implementations guard their state themselves.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vboard {

constexpr int kChipRegisterCount = 959;  // chip register addresses 0..958

class VirtualChip {
  public:
    virtual ~VirtualChip() = default;

    // Chip bus write of a 16-bit register. Addresses outside 0..958 are ignored.
    virtual void write_reg(int addr, uint16_t value) = 0;

    // Chip bus read; 0 for addresses outside 0..958.
    virtual uint16_t read_reg(int addr) = 0;

    // Frames per second that `channel` (0..3) delivers while the receiver is
    // started (control register 5), 0 while it is stopped or unconfigured.
    virtual double output_rate_hz(int channel) = 0;

    // Produces the next `n` output frames of `channel` as interleaved signed
    // 16-bit I, Q pairs (2 * n values). Called only while output_rate_hz > 0.
    virtual void generate(int channel, int16_t* iq, size_t n) = 0;
};

}  // namespace vboard
