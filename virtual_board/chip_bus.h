// The bridge's chip bus and its JTAG chain, as the bridge firmware drives them.
//
// Chip bus (bridge space 0): per chip select cs (0..7) an address register at
// 4*cs, a data register at 4*cs+1 (a write is a data phase to the latched
// address, a read reads that chip register) and a bus control register at
// 4*cs+2. The chip sits behind chip select 0; the buses of the others are
// open: data writes vanish and reads give 0. Only the low 16 bits of a data
// phase reach the 16-bit chip register; an address beyond 0xFFFF reaches no
// register.
//
// JTAG chain: two devices with their 32-bit IDCODE registers selected in
// Shift-DR, 0x15A1C0FB nearest TDO, then 0x0BA0D0FB. Bits shift least
// significant first, so the first 8 bytes out of a scan after reset() are the
// two IDCODEs and every byte shifted in comes out again 8 bytes later.
//
// Threads: neither class is thread-safe; the virtual board's mutex guards
// both. The chip guards its own state (virtual_chip.h): holders of chip() may
// use it after the mutex is released.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "protocol.h"
#include "virtual_chip.h"

namespace vboard {

class ChipBus {
  public:
    // The chip behind chip select 0 from now on.
    void set_chip(std::shared_ptr<VirtualChip> chip) { chip_ = std::move(chip); }
    const std::shared_ptr<VirtualChip>& chip() const { return chip_; }

    // Address and bus control registers back to 0 (the firmware starts).
    void reset();

    // Bridge write of space 0 at `address`. False when there is no such
    // register. *chip_written tells whether a data phase reached the chip.
    bool write(int address, uint32_t value, bool* chip_written);
    // Bridge read of space 0 at `address` into *value (0 when false: no such
    // register).
    bool read(int address, uint32_t* value);

  private:
    // Chip register of the latched address of chip select 0; -1 beyond 16 bits.
    int chip_address() const;

    std::shared_ptr<VirtualChip> chip_;
    std::array<uint32_t, qv::kChipSelects> address_{};
    std::array<uint32_t, qv::kChipSelects> bus_control_{};
};

class JtagChain {
  public:
    // Both IDCODEs loaded into the chain (the firmware starts).
    void reset();
    // Shifts one byte in at TDI and returns the byte that left at TDO.
    uint8_t shift(uint8_t tdi);

  private:
    uint64_t bits_ = 0;  // bit 0 is next out at TDO
};

}  // namespace vboard
