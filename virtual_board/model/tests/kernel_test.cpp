// The chip model's vector kernels against its plain ones, sample for sample,
// and the samples of both against recorded hashes (recorded on x86-64 with
// Debian 12's C library, whose sine, cosine, power and error function build
// the model's tables and start its oscillators): a change meant to keep the
// model's output must keep them.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "model_test_util.h"
#include "qv01_regs.h"
#include "synth_kernels.h"

using namespace qv01test;
using qv01::reg_addr;
using qv01model::RfScene;
using qv01model::Side;
using qv01model::StationSpec;

namespace {

// The CIC and DFIR layout of config/FM_radio.ini (CICN output 1.833 MHz),
// with the reference chain's designed filters.
qv01model::ReferenceChain fm_layout() {
    qv01model::ReferenceChain c;
    c.cic2_ratio = 4;
    c.cic2_scale = 9;
    c.cicn_ratio = 9;
    c.cicn_mode = 2;
    c.cicn_scale = 0;
    c.scl_mx = false;
    c.fir1_order = 16;
    c.fir1_ratio = 3;
    c.fir2_order = 62;
    c.fir2_ratio = 3;
    c.fir2_scale = 5;
    return c;
}

StationSpec station(double mhz, double dbfs) {
    StationSpec s;
    s.freq_hz = mhz * 1e6;
    s.level_dbfs = dbfs;
    return s;
}

void set_chip_field(qv01model::Qv01Chip& chip, int off, qv01::Field f, int value) {
    const int a = reg_addr(0, off);
    chip.write_reg(a, uint16_t(qv01::set_field(chip.read_reg(a), f, value)));
}

struct Case {
    const char* name;
    RfScene scene;
    std::function<void(qv01model::Qv01Chip&)> start;
    std::vector<size_t> chunks;  // frames per generate call, in turn
    size_t frames;
    uint64_t recorded;  // FNV-1a of the samples and flags
};

std::vector<Case> cases() {
    std::vector<Case> all;
    all.push_back({"default scene, FM layout, 103.5 MHz",
                   qv01model::default_scene(),
                   [](auto& chip) { configure(chip, fm_layout(), 103.5e6); },
                   {203, 204, 205},
                   24000,
                   0x1e9b121604b033d2});
    {
        // Five stations near full scale with raised CIC scales: the CIC2
        // output is followed and clips, and so do the later stages.
        RfScene sc;
        sc.noise_dbfs = -60.0;
        for (int k = 0; k < 5; ++k) {
            StationSpec s = station(99.8 + 0.15 * k, -0.5 - k);
            s.audio.tones.push_back({1000.0 + 300.0 * k, 0.5, Side::Both});
            sc.stations.push_back(s);
        }
        all.push_back({"strong stations, clipping",
                       sc,
                       [](auto& chip) {
                           qv01model::ReferenceChain c = fm_layout();
                           c.cic2_scale = 12;
                           c.cicn_scale = 3;
                           configure(chip, c, 100.1e6);
                       },
                       {512},
                       16000,
                       0x17e6c2979f1b3230});
    }
    {
        // Melodies with notes shorter than their ramps and rests, stereo
        // with pilot, no pre-emphasis, offset and drift, odd block lengths.
        RfScene sc;
        StationSpec a = station(100.0, -20.0);
        a.pilot = a.stereo = true;
        a.audio.tones = {{1000.0, 0.2, Side::Left}, {3000.0, 0.1, Side::Right}, {440.0, 0.1}};
        StationSpec b = station(100.2, -25.0);
        b.preemphasis_us = 50.0;
        b.audio.melody_hz = {440.0, 0.0, 660.0, 880.0};
        b.audio.note_ms = 1.0;
        b.drift_hz_per_s = 1234.0;
        b.offset_hz = -2500.0;
        StationSpec c = station(99.8, -30.0);
        c.preemphasis_us = 0.0;
        c.audio.melody_hz = {523.25, 0.0, 392.0};
        c.audio.note_ms = 7.0;
        c.pilot = true;
        sc.stations = {a, b, c};
        all.push_back({"melodies, stereo, drift",
                       sc,
                       [](auto& chip) { configure(chip, fm_layout(), 100.1e6); },
                       {1, 7, 333, 4096},
                       20000,
                       0x2103b82a99acaaa6});
    }
    {
        // Phase steps beyond 32 bits: the vector kernel hands over to the plain one.
        RfScene sc;
        StationSpec s = station(101.0, -10.0);
        s.deviation_hz = 200000.0;
        for (int k = 0; k < 16; ++k) s.audio.tones.push_back({20000.0 - 350.0 * k, 1.0});
        sc.stations.push_back(s);
        all.push_back({"deviation far beyond the peak",
                       sc,
                       [](auto& chip) { configure(chip, fm_layout(), 101.0e6); },
                       {204},
                       8000,
                       0xe245d10b711b85db});
    }
    {
        // DFIR phases, a mirrored DFIR with a -32768 tap (no 16-bit layout),
        // CICN at five stages, no noise at all.
        RfScene sc = qv01model::default_scene();
        sc.noise_dbfs = -3000.0;
        all.push_back({"odd DFIRs, no noise",
                       sc,
                       [](auto& chip) {
                           qv01model::ReferenceChain c = fm_layout();
                           c.cicn_mode = 3;
                           c.cicn_ratio = 5;
                           c.scl_mx = true;
                           c.cicn_scale = 12;
                           c.fir1_order = 23;
                           qv01model::program_channel(chip, 0, c,
                                                      qv01model::nco_word_for(100.9e6, kClock));
                           set_chip_field(chip, qv01::kOffDfir1Ctl, qv01::dfir::kPhase, 2);
                           set_chip_field(chip, qv01::kOffDfir2Ctl, qv01::dfir::kPhase, 7);
                           set_chip_field(chip, qv01::kOffDfir2Ctl, qv01::dfir::kSym, 1);
                           chip.write_reg(reg_addr(0, qv01::kOffDfir2Bank + 10), 0x8000);
                           qv01model::start_receiver(chip);
                       },
                       {300},
                       12000,
                       0x2d8206f1256a7215});
    }
    return all;
}

struct Output {
    std::vector<int16_t> samples;
    std::vector<uint16_t> flags;  // after each call

    uint64_t hash() const {
        uint64_t h = 0xcbf29ce484222325ull;
        auto add = [&](uint16_t v) {
            for (int b = 0; b < 2; ++b) {
                h ^= (v >> (8 * b)) & 0xFF;
                h *= 0x100000001b3ull;
            }
        };
        for (int16_t v : samples) add(uint16_t(v));
        for (uint16_t v : flags) add(v);
        return h;
    }
};

Output run(const Case& c) {
    auto chip = make_chip(c.scene);
    c.start(*chip);
    Output out;
    out.samples.resize(2 * c.frames);
    for (size_t done = 0, k = 0; done < c.frames; ++k) {
        const size_t n = std::min(c.chunks[k % c.chunks.size()], c.frames - done);
        chip->generate(0, out.samples.data() + 2 * done, n);
        out.flags.push_back(chip->read_reg(reg_addr(0, qv01::kOffFlags)));
        done += n;
    }
    return out;
}

class ChipModelKernels : public ::testing::Test {
  protected:
    void TearDown() override { qv01model::use_vector_kernels(true); }
};

}  // namespace

TEST_F(ChipModelKernels, VectorKernelsGiveThePlainSamples) {
    if (!qv01model::vector_kernels_available()) GTEST_SKIP() << "no AVX2 on this CPU";
    for (const Case& c : cases()) {
        qv01model::use_vector_kernels(false);
        const Output plain = run(c);
        qv01model::use_vector_kernels(true);
        const Output vec = run(c);
        size_t differ = 0, first = 0;
        for (size_t i = plain.samples.size(); i-- > 0;) {
            if (plain.samples[i] != vec.samples[i]) {
                ++differ;
                first = i;
            }
        }
        EXPECT_EQ(differ, 0u) << c.name << ": first difference at value " << first;
        EXPECT_EQ(plain.flags, vec.flags) << c.name;
    }
}

TEST_F(ChipModelKernels, SamplesAreThoseRecorded) {
    for (const Case& c : cases()) {
        const uint64_t h = run(c).hash();
        std::printf("%-40s %016llx\n", c.name, static_cast<unsigned long long>(h));
        EXPECT_EQ(h, c.recorded) << c.name;
    }
}
