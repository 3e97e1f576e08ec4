#include "qv01_chip.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "config_reader.h"

namespace qv01model {

using namespace qv01;

Qv01Chip::Qv01Chip(std::shared_ptr<const RfScene> scene, double clock_hz, double ppm)
    : scene_(std::move(scene)), adc_rate_hz_(clock_hz * (1.0 + ppm * 1e-6)) {
    for (auto& f : flags_) f.store(0);
}

void Qv01Chip::command(uint16_t value) {
    // Called with reg_mu_ held.
    switch (value) {
        case 0:
        case kCmdStop:
            running_ = false;
            break;
        case kCmdStart:
            for (int ch = 0; ch < kChannels; ++ch) {
                latched_[ch].s = decode_channel(regs_.data(), ch);
                ++latched_[ch].restart;
                flags_[ch].store(0);
            }
            running_ = true;
            started_ = true;
            break;
        case kCmdReset:
            for (int ch = 0; ch < kChannels; ++ch) {
                latched_[ch].s.nco_phase = regs_[size_t(reg_addr(ch, kOffNcoPhase))];
                ++latched_[ch].restart;
                flags_[ch].store(0);
            }
            break;
        case kCmdNcoUpdate:
            for (int ch = 0; ch < kChannels; ++ch) {
                decode_nco_word(regs_.data(), ch, latched_[ch].s);
                ++latched_[ch].nco;
            }
            break;
        case kCmdLoadCoef:
            for (int ch = 0; ch < kChannels; ++ch) {
                decode_coefficients(regs_.data(), ch, latched_[ch].s);
                ++latched_[ch].coef;
            }
            break;
        case kCmdNcoSync:
            for (int ch = 0; ch < kChannels; ++ch) {
                latched_[ch].s.nco_phase = regs_[size_t(reg_addr(ch, kOffNcoPhase))];
                ++latched_[ch].sync;
            }
            break;
        case kCmdGainUpdate:
            for (int ch = 0; ch < kChannels; ++ch) {
                decode_gain(regs_.data(), ch, latched_[ch].s);
                ++latched_[ch].gain;
            }
            break;
        default:
            break;  // not a command of this chip: stored, no effect
    }
}

void Qv01Chip::write_reg(int addr, uint16_t value) {
    if (addr < 0 || addr >= vboard::kChipRegisterCount || addr == kRegDeviceId) return;
    std::lock_guard<std::mutex> lock(reg_mu_);
    regs_[size_t(addr)] = value;
    if (addr == kRegControl) {
        command(value);
        return;
    }
    if (addr == kRegFlagClear) {
        for (int ch = 0; ch < kChannels; ++ch) {
            if (value & (1u << ch)) flags_[ch].store(0);
        }
        return;
    }
    const int ch = addr / kChannelStride, off = addr % kChannelStride;
    if (ch < kChannels && running_ &&
        (off == kOffCic2 || off == kOffCicn || off == kOffDfir1Scl || off == kOffDfir2Scl)) {
        decode_scales(regs_.data(), ch, latched_[ch].s);
        ++latched_[ch].scales;
    }
}

uint16_t Qv01Chip::read_reg(int addr) {
    if (addr < 0 || addr >= vboard::kChipRegisterCount) return 0;
    if (addr == kRegDeviceId) return kDeviceId;
    if (addr == kRegFlagClear) return 0;
    const int ch = addr / kChannelStride;
    if (ch < kChannels && addr % kChannelStride == kOffFlags) return flags_[ch].exchange(0);
    std::lock_guard<std::mutex> lock(reg_mu_);
    return regs_[size_t(addr)];
}

double Qv01Chip::output_rate_hz(int channel) {
    if (channel < 0 || channel >= kChannels) return 0.0;
    std::lock_guard<std::mutex> lock(reg_mu_);
    if (!running_) return 0.0;
    return adc_rate_hz_ / latched_[channel].s.decimation();
}

void Qv01Chip::generate(int channel, int16_t* iq, size_t n) {
    if (channel < 0 || channel >= kChannels) return;
    Latched now;
    bool running;
    {
        std::lock_guard<std::mutex> lock(reg_mu_);
        now = latched_[channel];
        running = running_ && started_;
    }
    std::lock_guard<std::mutex> lock(gen_mu_);
    if (!running) {
        std::fill(iq, iq + 2 * n, int16_t(0));
        return;
    }
    Runtime& rt = rt_[channel];
    if (!rt.model) rt.model = std::make_unique<ChannelModel>(scene_, adc_rate_hz_);
    if (!rt.valid || rt.seen.restart != now.restart) {
        rt.model->restart(now.s);
    } else {
        if (rt.seen.nco != now.nco) rt.model->set_nco_word(now.s.nco_word);
        if (rt.seen.gain != now.gain) rt.model->set_gain(now.s.gain_i, now.s.gain_q);
        if (rt.seen.scales != now.scales) rt.model->set_scales(now.s);
        if (rt.seen.coef != now.coef) rt.model->set_coefficients(now.s);
        if (rt.seen.sync != now.sync) rt.model->sync_nco(now.s.nco_phase);
    }
    rt.seen = now;
    rt.valid = true;
    const uint16_t f = rt.model->generate(iq, n);
    if (f) flags_[channel].fetch_or(f);
}

namespace {

// The scene of `opts`, checked as make_qv01_chip checks it.
int prepare(const ChipModelOptions& opts, RfScene& scene, std::string& error,
            std::vector<std::string>* warnings) {
    if (!(opts.clock_hz > 0.0) || !(opts.ppm > -1e6) || !std::isfinite(opts.clock_hz) ||
        !std::isfinite(opts.ppm)) {
        error = "virtual chip: the clock must be positive and finite, the ppm error above -1e6";
        return -EINVAL;
    }
    if (opts.scene_path.empty()) {
        scene = default_scene();
        return 0;
    }
    std::vector<std::string> notes;
    if (const int rc = load_scene(opts.scene_path, scene, error, warnings ? &notes : nullptr))
        return rc;
    for (const std::string& note : notes)
        warnings->push_back("scene file " + qvcfg::absolute_path(opts.scene_path) + ": " + note);
    std::string warning;
    if (const int rc = check_scene_real_time(
            scene, opts.clock_hz, "file " + qvcfg::absolute_path(opts.scene_path), error, &warning))
        return rc;
    if (!warning.empty() && warnings) warnings->push_back(warning);
    return 0;
}

}  // namespace

int check_qv01_chip(const ChipModelOptions& opts, std::string& error,
                    std::vector<std::string>* warnings) {
    try {
        RfScene scene;
        return prepare(opts, scene, error, warnings);
    } catch (const std::exception& e) {
        error = std::string("virtual chip: ") + e.what();
        return -ENOMEM;
    }
}

std::unique_ptr<vboard::VirtualChip> make_qv01_chip(const ChipModelOptions& opts,
                                                    std::string* error) {
    try {
        auto scene = std::make_shared<RfScene>();
        std::string msg;
        if (prepare(opts, *scene, msg, nullptr) != 0) {
            if (error) *error = msg;
            return nullptr;
        }
        return std::make_unique<Qv01Chip>(std::move(scene), opts.clock_hz, opts.ppm);
    } catch (const std::exception& e) {
        if (error) *error = std::string("virtual chip: ") + e.what();
        return nullptr;
    }
}

}  // namespace qv01model
