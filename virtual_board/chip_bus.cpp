#include "chip_bus.h"

namespace vboard {

namespace {

// The chain's devices, nearest to TDO first.
constexpr uint32_t kJtagIdcodeNearTdo = 0x15A1C0FB;
constexpr uint32_t kJtagIdcodeNearTdi = 0x0BA0D0FB;

// Registers of one chip select in space 0, at 4 * cs + offset.
enum : int { kBusAddress = 0, kBusData = 1, kBusControl = 2, kBusStride = 4 };

}  // namespace

void ChipBus::reset() {
    address_.fill(0);
    bus_control_.fill(0);
}

int ChipBus::chip_address() const { return address_[0] > 0xFFFF ? -1 : int(address_[0]); }

bool ChipBus::write(int address, uint32_t value, bool* chip_written) {
    *chip_written = false;
    const int cs = address / kBusStride;
    if (cs >= qv::kChipSelects) return false;
    switch (address % kBusStride) {
        case kBusAddress:
            address_[cs] = value;
            return true;
        case kBusData:
            // Only chip select 0 has a chip; the bus of the others is open.
            if (cs == 0) {
                chip_->write_reg(chip_address(), uint16_t(value));
                *chip_written = true;
            }
            return true;
        case kBusControl:
            bus_control_[cs] = value;
            return true;
        default:
            return false;
    }
}

bool ChipBus::read(int address, uint32_t* value) {
    *value = 0;
    const int cs = address / kBusStride;
    if (cs >= qv::kChipSelects) return false;
    switch (address % kBusStride) {
        case kBusAddress:
            *value = address_[cs];
            return true;
        case kBusData:
            if (cs == 0) *value = chip_->read_reg(chip_address());
            return true;
        case kBusControl:
            *value = bus_control_[cs];
            return true;
        default:
            return false;
    }
}

void JtagChain::reset() { bits_ = uint64_t(kJtagIdcodeNearTdi) << 32 | kJtagIdcodeNearTdo; }

uint8_t JtagChain::shift(uint8_t tdi) {
    // Bits leave at TDO least significant first and enter at TDI.
    const uint8_t tdo = uint8_t(bits_);
    bits_ = bits_ >> 8 | uint64_t(tdi) << 56;
    return tdo;
}

}  // namespace vboard
