// Scene files: the written-out default scene, every kind of bad file, and a
// WAV-driven station end to end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "model_test_util.h"

using namespace qv01test;
using qv01model::RfScene;

namespace {

class ChipModelSceneFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qv_scene_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const auto& f : files_) std::remove(f.c_str());
        rmdir(dir_.c_str());
    }
    std::string write(const std::string& name, const std::string& text) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        files_.push_back(path);
        return path;
    }
    // Mono 16-bit PCM WAV of a sine.
    std::string write_wav(const std::string& name, double freq_hz, double amp, int rate, int frames) {
        std::string d;
        auto put16 = [&](int v) { d += char(v & 0xFF); d += char((v >> 8) & 0xFF); };
        auto put32 = [&](uint32_t v) { put16(int(v & 0xFFFF)); put16(int(v >> 16)); };
        d += "RIFF"; put32(uint32_t(36 + 2 * frames)); d += "WAVE";
        d += "fmt "; put32(16); put16(1); put16(1); put32(uint32_t(rate)); put32(uint32_t(2 * rate)); put16(2); put16(16);
        d += "data"; put32(uint32_t(2 * frames));
        for (int i = 0; i < frames; ++i) put16(int(std::lround(amp * 32767.0 * std::sin(2.0 * M_PI * freq_hz * i / rate))));
        return write(name, d);
    }
    std::string dir_;
    std::vector<std::string> files_;
};

}  // namespace

TEST_F(ChipModelSceneFiles, WrittenOutDefaultSceneEqualsTheBuiltInOne) {
    RfScene file;
    std::string err;
    ASSERT_EQ(qv01model::load_scene(QV_MODEL_DIR "/scenes/default_scene.ini", file, err), 0) << err;
    const RfScene built = qv01model::default_scene();
    EXPECT_EQ(file.noise_dbfs, built.noise_dbfs);
    ASSERT_EQ(file.stations.size(), built.stations.size());
    for (const auto& b : built.stations) {
        const qv01model::StationSpec* f = nullptr;
        for (const auto& s : file.stations) if (s.name == b.name) f = &s;
        ASSERT_NE(f, nullptr) << b.name;
        EXPECT_NEAR(f->freq_hz, b.freq_hz, 1e-3) << b.name;
        EXPECT_EQ(f->level_dbfs, b.level_dbfs) << b.name;
        EXPECT_EQ(f->pilot, b.pilot) << b.name;
        EXPECT_EQ(f->stereo, b.stereo) << b.name;
        EXPECT_EQ(f->audio.melody_hz, b.audio.melody_hz) << b.name;
        EXPECT_EQ(f->audio.note_ms, b.audio.note_ms) << b.name;
        EXPECT_EQ(f->audio.melody_level, b.audio.melody_level) << b.name;
        ASSERT_EQ(f->audio.tones.size(), b.audio.tones.size()) << b.name;
        for (size_t k = 0; k < b.audio.tones.size(); ++k) {
            EXPECT_EQ(f->audio.tones[k].freq_hz, b.audio.tones[k].freq_hz) << b.name;
            EXPECT_EQ(f->audio.tones[k].level, b.audio.tones[k].level) << b.name;
            EXPECT_EQ(f->audio.tones[k].side, b.audio.tones[k].side) << b.name;
        }
    }
}

TEST_F(ChipModelSceneFiles, BadFilesAreRefusedNamingFileAndKey) {
    struct Case { const char* text; const char* key; const char* why; };
    const Case cases[] = {
        {"[A]\nfreq_mhz = 100\nlevl_dbfs = -20\n", "A.levl_dbfs", "unknown key"},
        {"[A]\nfreq_mhz = 100\nlevel_dbfs = loud\n", "A.level_dbfs", "is not a number"},
        {"[A]\nfreq_mhz = 100\nlevel_dbfs = 3\n", "A.level_dbfs", "outside"},
        {"[A]\nlevel_dbfs = -20\n", "A.freq_mhz", "missing"},
        {"[A]\nfreq_mhz = 100\ntones_hz = 440/x\n", "A.tones_hz", "list of numbers"},
        {"[A]\nfreq_mhz = 100\npilot = 2\n", "A.pilot", "outside"},
        {"[A]\nfreq_mhz = 100\nwav_file = nothere.wav\n", "A.wav_file", "cannot be opened"},
        {"noise_dbfs = -90\n", "noise_dbfs", "outside any section"},
        {"[SCENE]\nnoise_dbfs = -90\n", nullptr, "no station sections"},
    };
    for (const Case& c : cases) {
        const std::string path = write("bad.ini", c.text);
        RfScene out;
        out.noise_dbfs = 1.0;  // untouched on failure
        std::string err;
        EXPECT_EQ(qv01model::load_scene(path, out, err), -22) << c.text;
        EXPECT_NE(err.find(path), std::string::npos) << err;
        if (c.key) { EXPECT_NE(err.find(std::string("key ") + c.key), std::string::npos) << err; }
        EXPECT_NE(err.find(c.why), std::string::npos) << err;
        EXPECT_EQ(out.noise_dbfs, 1.0);
    }
    RfScene out;
    std::string err;
    EXPECT_EQ(qv01model::load_scene(dir_ + "/missing.ini", out, err), -2);
    EXPECT_NE(err.find("missing.ini"), std::string::npos);

    write("notwav.wav", "RIFF....JUNKdata");
    const std::string path = write("badwav.ini", "[A]\nfreq_mhz = 100\nwav_file = notwav.wav\n");
    EXPECT_EQ(qv01model::load_scene(path, out, err), -22);
    EXPECT_NE(err.find("not a RIFF/WAVE file"), std::string::npos) << err;

    // The factory passes the message on and builds no chip.
    qv01model::ChipModelOptions opts;
    opts.scene_path = path;
    std::string ferr;
    EXPECT_EQ(qv01model::make_qv01_chip(opts, &ferr), nullptr);
    EXPECT_NE(ferr.find("A.wav_file"), std::string::npos) << ferr;
}

TEST_F(ChipModelSceneFiles, WavStationCarriesItsRecording) {
    // 0.25 s of a 1 kHz sine at half scale, looped: a whole number of cycles.
    write_wav("tone.wav", 1000.0, 0.5, 44100, 11025);
    const std::string path = write("wav.ini",
                                   "[SCENE]\nnoise_dbfs = -90\n"
                                   "[RADIO_WAV]\nfreq_hz = 98.3e6\nlevel_dbfs = -30\nwav_file = tone.wav\n"
                                   "wav_level = 0.8\noffset_hz = 1500\n");
    RfScene scene;
    std::string err;
    ASSERT_EQ(qv01model::load_scene(path, scene, err), 0) << err;
    ASSERT_EQ(scene.stations.size(), 1u);
    EXPECT_EQ(scene.stations[0].offset_hz, 1500.0);
    auto chip = make_chip(scene);
    configure(*chip, qv01model::ReferenceChain{}, 98.3e6);
    const double fs = chip->output_rate_hz(0);
    const auto audio = fm_receive(capture(*chip, size_t(0.2 * fs)), fs);
    double sig = 0.0, res = 0.0;
    const auto amp = fit_tones(audio, audio.size() / 10, audio.size(), fs / 4.0, {1000.0}, &sig, &res);
    // Mean of the audio is the 1500 Hz carrier offset; the tone is 0.5 * 0.8 of 75 kHz.
    EXPECT_NEAR(amp[0], 0.5 * 0.8 * 75000.0, 0.02 * 30000.0);
    EXPECT_GT(10.0 * std::log10(sig / res), 40.0);
}
