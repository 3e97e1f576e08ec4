// Overflow flags and the register file's own behaviour.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "model_test_util.h"
#include "qv01_regs.h"

using namespace qv01test;
using qv01::reg_addr;
using qv01model::ReferenceChain;

namespace {

constexpr int kFlagsReg = 32;  // channel 0, base + 0x20

// Level in dBFS at which a 1 kHz carrier drives the named stage's output to
// `fraction` of full scale; stage_gain is the product of the stage gains up
// to that stage (the FIR pass band at 1 kHz is flat within 0.01 dB).
double level_for(double stage_gain, double fraction) { return db(fraction / stage_gain); }

// Tuned to 100 MHz at 66 MHz the mixer's sum-frequency image of a carrier at
// 100.001 MHz lies at 100.001 + 34 = 2.001 MHz (mod 66), inside the CIC2's
// broad pass band: the CIC2 output carries it beside the carrier.
double cic2_image_response() {
    const double x = 2.001e6 / 66e6;
    const double d = std::sin(M_PI * 3 * x) / (3 * std::sin(M_PI * x));
    return d * d;
}

uint16_t flags_after(const ReferenceChain& c, double level_dbfs) {
    auto chip = make_chip(cw_scene(100.001e6, level_dbfs));
    configure(*chip, c, 100e6);
    capture(*chip, 2048, 0);
    return chip->read_reg(kFlagsReg);
}

}  // namespace

TEST(ChipModelFlags, EachStageFlagsExactlyWhenItSaturates) {
    struct Case {
        const char* stage;
        ReferenceChain chain;
        double gain_to_stage;
        uint16_t bit;
    };
    const double cic2 = 4.0 * 9.0;          // 4 R^2, R = 3
    const double cicn = std::pow(27.0, 4);  // R^(mode + 3), mode 1
    std::vector<Case> cases;
    {
        ReferenceChain c;  // CIC2 x 4.5, CICN x 2^-3.95, the rest at 1
        c.cic2_scale = 13;
        c.cicn_scale = 0;
        c.fir2_scale = 6;
        c.gain_i = 16384;
        cases.push_back({"CIC2", c, cic2 * std::ldexp(1.0, 13 - 16) * (1.0 + cic2_image_response()),
                         qv01::kOvfCic2});
    }
    {
        ReferenceChain c;  // CIC2 x 0.5625, CICN x 4.05, DFIR1 x 1/2: the clipped signal's ringing
                           // stays inside
        c.cicn_scale = 7;
        c.fir1_scale = 5;
        c.fir2_scale = 6;
        c.gain_i = 8192;
        cases.push_back({"CICN", c,
                         cic2 * std::ldexp(1.0, 10 - 16) * cicn * std::ldexp(1.0, 7 - 24),
                         qv01::kOvfCicn});
    }
    {
        ReferenceChain c;  // DFIR1 x 4, DFIR2 x 1/4
        c.fir1_scale = 8;
        c.fir2_scale = 4;
        c.gain_i = 16384;
        cases.push_back({"DFIR1", c,
                         cic2 * std::ldexp(1.0, 10 - 16) * cicn * std::ldexp(1.0, 5 - 24) * 4.0,
                         qv01::kOvfDfir1});
    }
    {
        ReferenceChain c;  // DFIR2 x 4, gain x 1/4
        c.fir2_scale = 8;
        c.gain_i = 4096;
        cases.push_back({"DFIR2", c,
                         cic2 * std::ldexp(1.0, 10 - 16) * cicn * std::ldexp(1.0, 5 - 24) * 4.0,
                         qv01::kOvfDfir2});
    }
    {
        ReferenceChain c;  // DFIR2 x 2, gain x 2
        c.fir2_scale = 7;
        c.gain_i = 32767;
        cases.push_back({"GAIN", c,
                         cic2 * std::ldexp(1.0, 10 - 16) * cicn * std::ldexp(1.0, 5 - 24) * 2.0 *
                             32767.0 / 16384.0,
                         qv01::kOvfGain});
    }
    for (const Case& c : cases) {
        // The coefficient sums are 32768 within rounding, and a stage's peak is
        // sampled at its output instants: allow 3 % either side.
        EXPECT_EQ(flags_after(c.chain, level_for(c.gain_to_stage, 0.97)), 0) << c.stage;
        EXPECT_EQ(flags_after(c.chain, level_for(c.gain_to_stage, 1.03)), c.bit) << c.stage;
    }
}

TEST(ChipModelFlags, FlagsAreStickyUntilReadOrCleared) {
    ReferenceChain c;
    c.fir2_scale = 7;
    c.gain_i = 32767;  // chain x 2.3: a -3 dBFS carrier saturates the gain stage only
    auto chip = make_chip(cw_scene(100.001e6, -3.0));
    configure(*chip, c, 100e6);
    capture(*chip, 1024, 0);
    // Lower the gain: no new overflow, but the old one stays until read.
    chip->write_reg(reg_addr(0, qv01::kOffGainI), 8192);
    chip->write_reg(qv01::kRegControl, qv01::kCmdGainUpdate);
    capture(*chip, 1024, 0);
    EXPECT_EQ(chip->read_reg(kFlagsReg), qv01::kOvfGain);
    EXPECT_EQ(chip->read_reg(kFlagsReg), 0);  // cleared by the read
    // Register 4 clears the channels named by its bits; channel 0 is bit 0.
    chip->write_reg(reg_addr(0, qv01::kOffGainI), 32767);
    chip->write_reg(qv01::kRegControl, qv01::kCmdGainUpdate);
    capture(*chip, 1024, 0);
    chip->write_reg(qv01::kRegFlagClear, 0x0002);
    chip->write_reg(qv01::kRegFlagClear, 0x0001);
    EXPECT_EQ(chip->read_reg(kFlagsReg), 0);
    capture(*chip, 1024, 0);
    chip->write_reg(qv01::kRegFlagClear, 0x0002);  // another channel's bit leaves ours
    EXPECT_EQ(chip->read_reg(kFlagsReg), qv01::kOvfGain);
}

TEST(ChipModelFlags, RegisterFileReadsBackAndIdentifiesTheChip) {
    auto chip = make_chip(cw_scene(100e6, -20));
    EXPECT_EQ(chip->read_reg(qv01::kRegDeviceId), qv01::kDeviceId);
    chip->write_reg(qv01::kRegDeviceId, 0);
    EXPECT_EQ(chip->read_reg(qv01::kRegDeviceId), qv01::kDeviceId);
    chip->write_reg(0x0236, 0x8708);
    EXPECT_EQ(chip->read_reg(0x0236), 0x8708);
    chip->write_reg(959, 1);
    chip->write_reg(-1, 1);
    EXPECT_EQ(chip->read_reg(959), 0);
    EXPECT_EQ(chip->read_reg(-1), 0);
    // Stopped: generate is not to be called, but if it is, it yields silence.
    std::vector<int16_t> buf(64, 7);
    chip->generate(0, buf.data(), 32);
    for (int16_t v : buf) EXPECT_EQ(v, 0);
}

TEST(ChipModelFlags, CommandThreadAndStreamThreadShareTheChip) {
    // The board's command thread retunes, trims and polls flags while its
    // stream thread pulls frames; the last retune is in effect afterwards.
    auto chip = make_chip(cw_scene(100.02e6, -20));
    configure(*chip, ReferenceChain{}, 100e6);
    std::atomic<bool> stop{false};
    std::thread stream([&] {
        std::vector<int16_t> buf(2 * 512);
        while (!stop.load()) chip->generate(0, buf.data(), 512);
    });
    for (int i = 0; i < 200; ++i) {
        const uint32_t w = qv01model::nco_word_for(100e6 + 1e3 * (i % 7), kClock);
        chip->write_reg(reg_addr(0, qv01::kOffNcoLow), uint16_t(w & 0xFFFF));
        chip->write_reg(reg_addr(0, qv01::kOffNcoHigh), uint16_t(w >> 16));
        chip->write_reg(qv01::kRegControl, qv01::kCmdNcoUpdate);
        chip->write_reg(reg_addr(0, qv01::kOffGainI), uint16_t(14000 + i));
        chip->write_reg(qv01::kRegControl, qv01::kCmdGainUpdate);
        chip->write_reg(reg_addr(0, qv01::kOffDfir1Scl), uint16_t(6));
        (void)chip->read_reg(kFlagsReg);
        (void)chip->output_rate_hz(0);
    }
    const uint32_t w = qv01model::nco_word_for(100.05e6, kClock);
    chip->write_reg(reg_addr(0, qv01::kOffNcoLow), uint16_t(w & 0xFFFF));
    chip->write_reg(reg_addr(0, qv01::kOffNcoHigh), uint16_t(w >> 16));
    chip->write_reg(qv01::kRegControl, qv01::kCmdNcoUpdate);
    stop.store(true);
    stream.join();
    // The carrier 30 kHz below the last tuning, in the inverted band: +30 kHz.
    EXPECT_NEAR(dominant_frequency(capture(*chip, 2048), 66e6 / 324.0), 30e3, 2.0);
}
