#include "fx2_core.h"

#include <algorithm>
#include <cstring>

#include "protocol.h"

namespace vboard {

Fx2Core::Fx2Core() : memory_(kMemoryBytes, 0) {}

void Fx2Core::power_on() {
    std::fill(memory_.begin(), memory_.end(), 0);
    memory_[qv::kFx2Cpucs] = qv::kCpucsReset;
    held_ = true;
    code_loaded_ = false;
    running_ = false;
}

Fx2Core::Cpu Fx2Core::write(size_t address, uint8_t byte) {
    if (address != qv::kFx2Cpucs) {
        memory_[address] = byte;
        if (address < kCodeRamBytes) code_loaded_ = true;
        return Cpu::unchanged;
    }
    memory_[address] = byte & qv::kCpucsReset;
    const bool hold = (byte & qv::kCpucsReset) != 0;
    if (hold == held_) return Cpu::unchanged;
    held_ = hold;
    if (hold) {
        running_ = false;
        return Cpu::stopped;
    }
    // Released without code: the 8051 has nothing to run and the board stays mute.
    if (!code_loaded_) return Cpu::unchanged;
    running_ = true;
    return Cpu::started;
}

void Fx2Core::read(size_t address, uint8_t* dst, size_t n) const {
    std::memcpy(dst, memory_.data() + address, n);
}

uint32_t Fx2Core::firmware_id(uint16_t* version) const {
    return firmware_id_of(memory_.data(), kCodeRamBytes, version);
}

uint32_t firmware_id_of(const uint8_t* code_ram, size_t n, uint16_t* version) {
    uint16_t crc = 0xFFFF;
    for (size_t k = 0; k < n; ++k) {
        crc ^= uint16_t(code_ram[k]) << 8;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    uint16_t ver = 0;
    static const uint8_t kMagic[4] = {'Q', 'V', 'F', 'W'};
    for (size_t k = 0; k + 6 <= n; ++k) {
        if (std::memcmp(code_ram + k, kMagic, 4) == 0) {
            ver = uint16_t(code_ram[k + 4] | code_ram[k + 5] << 8);
            break;
        }
    }
    if (version) *version = ver;
    return uint32_t(ver) << 16 | crc;
}

}  // namespace vboard
