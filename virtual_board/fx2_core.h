// The FX2 core of the virtual board: its 64 KiB of memory, reached by the
// firmware download request (vendor request 0xA0), and the CPU control and
// status register CPUCS (0xE600), whose bit 0 holds the 8051 in reset.
//
// The CPU starts at a release only when something was downloaded into code
// RAM (0x0000..0x3FFF) since power-on; released with nothing downloaded it
// stays mute. Holding it again stops it.
//
// Threads: not thread-safe; the virtual board's mutex guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vboard {

class Fx2Core {
  public:
    static constexpr size_t kMemoryBytes = 0x10000;
    static constexpr size_t kCodeRamBytes = 0x4000;  // internal program/data RAM 0x0000..0x3FFF

    // What a memory write did to the CPU.
    enum class Cpu { unchanged, started, stopped };

    // Memory zeroed (CPUCS included), CPU held without code: an FX2 without
    // EEPROM as it powers up.
    Fx2Core();

    // Power-on again: memory zeroed, CPUCS 1 (held), no code, CPU stopped.
    void power_on();

    // Writes one byte at `address` (< kMemoryBytes). A write of CPUCS keeps
    // its bit 0 and starts or stops the CPU when that bit changes.
    Cpu write(size_t address, uint8_t byte);
    // Copies `n` bytes from `address` (address + n <= kMemoryBytes).
    void read(size_t address, uint8_t* dst, size_t n) const;

    bool running() const { return running_; }

    // The identifier of the image in code RAM now (firmware_id_of).
    uint32_t firmware_id(uint16_t* version) const;

  private:
    std::vector<uint8_t> memory_;
    bool held_ = true;          // CPUCS bit 0
    bool code_loaded_ = false;  // something was downloaded into code RAM
    bool running_ = false;
};

// Firmware identifier the board derives from its memory at CPU release:
// (version word << 16) | CRC-16/CCITT (poly 0x1021, init 0xFFFF) of code RAM
// 0x0000..0x3FFF. The version word follows the magic "QVFW" found first in code
// RAM; 0 when the image carries none.
uint32_t firmware_id_of(const uint8_t* code_ram, size_t n, uint16_t* version);

}  // namespace vboard
