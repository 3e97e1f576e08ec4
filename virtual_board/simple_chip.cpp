#include "simple_chip.h"

#include <cmath>

namespace vboard {

namespace {
constexpr double kTwoPi = 6.283185307179586476925286766559;
}

SimpleChip::SimpleChip(double clock_hz, Pattern pattern) : clock_hz_(clock_hz), pattern_(pattern) {}

void SimpleChip::write_reg(int addr, uint16_t value) {
    if (addr < 0 || addr >= kChipRegisterCount || addr == kDeviceIdReg || addr == kOverflowReg) return;
    std::lock_guard<std::mutex> lock(m_);
    regs_[addr] = value;
    if (addr != kControlReg) return;
    if (value == 0 || value == 0x8000) {
        running_ = false;
    } else if ((value & 1) && !running_) {
        running_ = true;
        frame_.fill(0);
        phase_.fill(0.0);
    }
}

uint16_t SimpleChip::read_reg(int addr) {
    if (addr == kDeviceIdReg) return kSimpleChipDeviceId;
    if (addr == kOverflowReg) return 0;
    if (addr < 0 || addr >= kChipRegisterCount) return 0;
    std::lock_guard<std::mutex> lock(m_);
    return regs_[addr];
}

double SimpleChip::rate_locked(int channel) const {
    const int base = 0x100 * channel;
    const double cic2 = ((regs_[0x24 + base] >> 8) & 0x7F) + 1;
    const double cicn = ((regs_[0x25 + base] >> 8) & 0x3F) + 1;
    const double dfir1 = (regs_[0x26 + base] & 0xF) + 1;
    const double dfir2 = (regs_[0x28 + base] & 0xF) + 1;
    return clock_hz_ / (cic2 * cicn * dfir1 * dfir2);
}

double SimpleChip::output_rate_hz(int channel) {
    if (channel < 0 || channel >= kChannels) return 0.0;
    std::lock_guard<std::mutex> lock(m_);
    return running_ ? rate_locked(channel) : 0.0;
}

void SimpleChip::generate(int channel, int16_t* iq, size_t n) {
    if (channel < 0 || channel >= kChannels) return;
    std::lock_guard<std::mutex> lock(m_);
    if (pattern_ == Pattern::counter) {
        uint64_t f = frame_[channel];
        for (size_t k = 0; k < n; ++k, ++f) {
            iq[2 * k] = static_cast<int16_t>(static_cast<uint16_t>(f & 0xFFFF));
            iq[2 * k + 1] = static_cast<int16_t>(static_cast<uint16_t>((f >> 16) & 0xFFFF));
        }
        frame_[channel] = f;
        return;
    }
    const double rate = rate_locked(channel);
    const double step = rate > 0.0 ? kTwoPi * kToneHz / rate : 0.0;
    double phase = phase_[channel];
    for (size_t k = 0; k < n; ++k) {
        iq[2 * k] = static_cast<int16_t>(std::lround(kToneAmplitude * std::cos(phase)));
        iq[2 * k + 1] = static_cast<int16_t>(std::lround(kToneAmplitude * std::sin(phase)));
        phase += step;
        if (phase >= kTwoPi) phase -= kTwoPi;
    }
    phase_[channel] = phase;
    frame_[channel] += n;
}

}  // namespace vboard
