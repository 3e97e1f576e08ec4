#include "simple_chip.h"

#include <cmath>

namespace vboard {

namespace {
constexpr double kTwoPi = 6.283185307179586476925286766559;
constexpr int kOverflowReg = qv01::reg_addr(0, qv01::kOffFlags);  // reads 0: no stage overflows
}  // namespace

SimpleChip::SimpleChip(double clock_hz, Pattern pattern) : clock_hz_(clock_hz), pattern_(pattern) {}

void SimpleChip::write_reg(int addr, uint16_t value) {
    if (addr < 0 || addr >= kChipRegisterCount || addr == qv01::kRegDeviceId ||
        addr == kOverflowReg)
        return;
    std::lock_guard<std::mutex> lock(m_);
    regs_[addr] = value;
    if (addr != qv01::kRegControl) return;
    if (value == 0 || value == qv01::kCmdStop) {
        running_ = false;
    } else if ((value & 1) && !running_) {
        running_ = true;
        frame_.fill(0);
        phase_.fill(0.0);
    }
}

uint16_t SimpleChip::read_reg(int addr) {
    if (addr == qv01::kRegDeviceId) return kSimpleChipDeviceId;
    if (addr == kOverflowReg) return 0;
    if (addr < 0 || addr >= kChipRegisterCount) return 0;
    std::lock_guard<std::mutex> lock(m_);
    return regs_[addr];
}

double SimpleChip::rate_locked(int channel) const {
    // Each ratio field holds the stage's ratio - 1.
    auto ratio = [&](int offset, qv01::Field field) -> double {
        return qv01::get_field(regs_[qv01::reg_addr(channel, offset)], field) + 1;
    };
    const double cic2 = ratio(qv01::kOffCic2, qv01::cic2::kRatio);
    const double cicn = ratio(qv01::kOffCicn, qv01::cicn::kRatio);
    const double dfir1 = ratio(qv01::kOffDfir1Ctl, qv01::dfir::kRatio);
    const double dfir2 = ratio(qv01::kOffDfir2Ctl, qv01::dfir::kRatio);
    return clock_hz_ / (cic2 * cicn * dfir1 * dfir2);
}

double SimpleChip::output_rate_hz(int channel) {
    if (channel < 0 || channel >= qv01::kChannels) return 0.0;
    std::lock_guard<std::mutex> lock(m_);
    return running_ ? rate_locked(channel) : 0.0;
}

void SimpleChip::generate(int channel, int16_t* iq, size_t n) {
    if (channel < 0 || channel >= qv01::kChannels) return;
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
