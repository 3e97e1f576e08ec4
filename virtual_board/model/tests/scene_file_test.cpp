// Scene files: the written-out default scene, every kind of bad file, and a
// WAV-driven station end to end.
#include <gtest/gtest.h>
#include <sys/stat.h>
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
    std::string write_wav(const std::string& name, double freq_hz, double amp, int rate,
                          int frames) {
        std::string d;
        auto put16 = [&](int v) {
            d += char(v & 0xFF);
            d += char((v >> 8) & 0xFF);
        };
        auto put32 = [&](uint32_t v) {
            put16(int(v & 0xFFFF));
            put16(int(v >> 16));
        };
        d += "RIFF";
        put32(uint32_t(36 + 2 * frames));
        d += "WAVE";
        d += "fmt ";
        put32(16);
        put16(1);
        put16(1);
        put32(uint32_t(rate));
        put32(uint32_t(2 * rate));
        put16(2);
        put16(16);
        d += "data";
        put32(uint32_t(2 * frames));
        for (int i = 0; i < frames; ++i)
            put16(int(std::lround(amp * 32767.0 * std::sin(2.0 * M_PI * freq_hz * i / rate))));
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
        for (const auto& s : file.stations)
            if (s.name == b.name) f = &s;
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

// n stations "S0".."S<n-1>", each with `extra` lines.
std::string stations(int n, const std::string& extra = "") {
    std::string t;
    for (int i = 0; i < n; ++i)
        t += "[S" + std::to_string(i) + "]\nfreq_mhz = " + std::to_string(88 + i % 20) + "\n" +
             extra;
    return t;
}

std::string repeat(const std::string& item, size_t n, const char* sep = "/") {
    std::string t;
    for (size_t i = 0; i < n; ++i) t += (i ? sep : "") + item;
    return t;
}

TEST_F(ChipModelSceneFiles, BadFilesAreRefusedNamingFileLineAndKey) {
    mkdir((dir_ + "/adir").c_str(), 0700);
    struct Case {
        std::string text;
        int line;
        const char* key;
        const char* why;
    };
    const Case cases[] = {
        {"[A]\nfreq_mhz = 100\nlevl_dbfs = -20\n", 3, "A.levl_dbfs", "unknown key"},
        {"[A]\nfreq_mhz = 100\nlevel_dbfs = loud\n", 3, "A.level_dbfs", "\"loud\" is not a number"},
        {"[A]\nfreq_mhz = 100\nlevel_dbfs = nan\n", 3, "A.level_dbfs", "is not a number"},
        {"[A]\nfreq_mhz = 100\nlevel_dbfs = 3\n", 3, "A.level_dbfs", "\"3\" is outside -200 .. 0"},
        {"[A]\nfreq_mhz = 1e300\n", 2, "A.freq_mhz", "\"1e300\" is outside 0.001 .. 1000"},
        {"[A]\n// far too high\nfreq_hz = 1e400\n", 3, "A.freq_hz", "is outside 1000 .. 1e+09"},
        {"[A]\nfreq_mhz = 100\ndeviation_hz = 1e6\n", 3, "A.deviation_hz", "outside 0 .. 200000"},
        {"[A]\nfreq_mhz = 100\noffset_hz = -2e6\n", 3, "A.offset_hz", "outside -1e+06 .. 1e+06"},
        {"[A]\nfreq_mhz = 100\ndrift_hz_per_s = 1e5\n", 3, "A.drift_hz_per_s",
         "outside -10000 .. 10000"},
        {"[A]\nfreq_mhz = 100\nnote_ms = 0\n", 3, "A.note_ms", "outside 1 .. 60000"},
        {"[A]\nfreq_mhz = 100\npilot = 2\n", 3, "A.pilot", "outside 0 .. 1"},
        {"[A]\nfreq_mhz = 100\nstereo = 0.5\n", 3, "A.stereo", "must be 0 or 1"},
        {"[A]\nlevel_dbfs = -20\n", 2, "A.freq_mhz", "missing"},
        {"[A]\nfreq_mhz = 100\nfreq_hz = 1e8\n", 3, "A.freq_hz", "freq_mhz is given too"},
        {"[A]\nfreq_mhz = 100\ntones_hz = 440/x\n", 3, "A.tones_hz", "is not a list of numbers"},
        {"[A]\nfreq_mhz = 100\ntones_hz = 440/0\n", 3, "A.tones_hz",
         "\"0\" Hz is outside 0 (excluded) .. 20000 Hz"},
        {"[A]\nfreq_mhz = 100\nleft_tones_hz = 25000\n", 3, "A.left_tones_hz", "outside"},
        {"[A]\nfreq_mhz = 100\ntones_hz = " + repeat("440", 17) + "\n", 3, "A.tones_hz",
         "17 tones, at most 16"},
        {"[A]\nfreq_mhz = 100\nmelody_hz = " + repeat("440", 65) + "\n", 3, "A.melody_hz",
         "65 notes, at most 64"},
        {"[A]\nfreq_mhz = 100\nmelody_hz = " + repeat("1", 501) + "\n", 3, "A.melody_hz",
         "a value of 1001 characters, at most 1000"},
        // Longer than the scanner's buffer: the load ends there, and says where.
        {"[A]\nfreq_mhz = 100\ntones_hz = " + repeat("440", 5000) + "\n", 3, "A.tones_hz",
         "longer than 16384 bytes"},
        {"[A]\nfreq_mhz = 100\n\n// " + std::string(20000, 'x') + "\n", 4, "",
         "longer than 16384 bytes"},
        {"[A]\nfreq_mhz = 100\nwav_file = nothere.wav\n", 3, "A.wav_file",
         "nothere.wav cannot be read"},
        {"[A]\nfreq_mhz = 100\nwav_file = adir\n", 3, "A.wav_file", "adir is a directory"},
        {"[A]\nfreq_mhz = 100\nwav_file = /dev/zero\n", 3, "A.wav_file",
         "/dev/zero is not a regular file"},
        {"noise_dbfs = -90\n", 1, "noise_dbfs", "outside any section"},
        {stations(65), 130, "S64", "65 stations, at most 64"},
        {"[SCENE]\nnoise_dbfs = -90\n", 0, nullptr, "no station sections"},
    };
    for (const Case& c : cases) {
        const std::string path = write("bad.ini", c.text);
        RfScene out;
        out.noise_dbfs = 1.0;  // untouched on failure
        std::string err;
        EXPECT_LT(qv01model::load_scene(path, out, err), 0) << c.why;
        // A key names its line; a problem of no key names the line when there is one.
        std::string at = ": ";
        if (c.key)
            at = ", line " + std::to_string(c.line) + (*c.key ? std::string(", ") + c.key : "") +
                 ": ";
        EXPECT_NE(err.find("scene file " + path + at), std::string::npos) << err;
        EXPECT_NE(err.find(c.why), std::string::npos) << err;
        EXPECT_EQ(out.noise_dbfs, 1.0);
    }
    RfScene out;
    std::string err;
    EXPECT_EQ(qv01model::load_scene(dir_ + "/missing.ini", out, err), -2);
    EXPECT_NE(err.find("missing.ini cannot be read"), std::string::npos) << err;
    EXPECT_EQ(qv01model::load_scene(dir_, out, err), -21);
    EXPECT_NE(err.find(dir_ + " is a directory"), std::string::npos) << err;
    rmdir((dir_ + "/adir").c_str());
}

TEST_F(ChipModelSceneFiles, DirectivesAreFollowedForLinesAndChecked) {
    const std::string inc = write("inc.ini", "// included\nlevel_dbfs = 5\n");
    std::string path = write("top.ini", "[A]\nfreq_mhz = 100\n#source \"inc.ini\"\n");
    RfScene out;
    std::string err;
    EXPECT_LT(qv01model::load_scene(path, out, err), 0);
    EXPECT_NE(err.find("scene file " + inc + ", line 2, A.level_dbfs: \"5\" is outside"),
              std::string::npos)
        << err;

    // A directive naming a FIFO or a device is refused before anything reads it.
    const std::string fifo = dir_ + "/fifo.ini";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    files_.push_back(fifo);
    for (const char* target : {"fifo.ini", "../../dev/zero"}) {
        path =
            write("top.ini", std::string("[A]\nfreq_mhz = 100\n\n#include \"") + target + "\"\n");
        EXPECT_LT(qv01model::load_scene(path, out, err), 0) << target;
        EXPECT_NE(err.find(path + ", line 4: input in flex scanner failed"), std::string::npos)
            << err;
        EXPECT_NE(err.find("is not a regular file"), std::string::npos) << err;
    }
}

TEST_F(ChipModelSceneFiles, ScannerRemarksBecomeNotesAndNothingIsPrinted) {
    const std::string odd = write(
        "odd.ini", "[A]\nfreq_mhz  = 100;\n[B]\nfreq_mhz = 101" + std::string(30, ';') + "\n");
    const std::string stop =
        write("stop.ini", "[A]\nfreq_mhz = 100\ntones_hz = " + repeat("440", 5000) + "\n");
    RfScene out;
    std::string err;
    std::vector<std::string> notes;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(qv01model::load_scene(odd, out, err, &notes), 0) << err;
    EXPECT_LT(qv01model::load_scene(stop, out, err), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    // The first 20 lines that say something, and a count of the rest.
    const std::string semicolon = "Unrecognized character: ;, file " + odd;
    std::vector<std::string> want(20, semicolon);
    want.push_back("... and 11 more lines");
    EXPECT_EQ(notes, want);
    // The checks of the chip hand them on as warnings.
    qv01model::ChipModelOptions opts;
    opts.scene_path = odd;
    std::vector<std::string> warnings;
    EXPECT_EQ(qv01model::check_qv01_chip(opts, err, &warnings), 0) << err;
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings[0], "scene file " + odd + ": " + semicolon);
}

TEST_F(ChipModelSceneFiles, WavFilesAreCheckedBeforeUse) {
    const std::string good = write_wav("good.wav", 1000.0, 0.5, 44100, 100);
    std::string bytes;
    {
        std::ifstream f(good, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    auto patched = [&](size_t at, std::string with) {
        std::string b = bytes;
        b.replace(at, with.size(), with);
        return b;
    };
    struct Case {
        std::string bytes;
        const char* why;
    };
    const Case cases[] = {
        {"RIFF....JUNKdata", "not a RIFF/WAVE file"},
        {patched(20, std::string("\x03\x00", 2)), "format 3, only PCM (1) is supported"},
        {patched(22, std::string("\x03\x00", 2)), "3 channels of 16 bits"},
        {patched(34, std::string("\x08\x00", 2)), "1 channels of 8 bits"},
        {patched(24, std::string("\xA0\x0F\x00\x00", 4)), "sample rate outside 8000 .. 192000 Hz"},
        {patched(40, std::string("\xFF\xFF\x00\x00", 4)),
         "its \"data\" chunk runs past the end of the file"},
        {patched(36, "junk"), "no data chunk"},
    };
    for (const Case& c : cases) {
        const std::string path = write("bad.wav", c.bytes);
        qv01model::WavData wav;
        std::string err;
        EXPECT_EQ(qv01model::load_wav(path, wav, err), -22) << c.why;
        EXPECT_NE(err.find("WAV file " + path + ": " + c.why), std::string::npos) << err;
    }
    // Larger than the limit: refused from its size, without reading it.
    const std::string big = write("big.wav", bytes);
    ASSERT_EQ(truncate(big.c_str(), off_t(qv01model::kMaxWavBytes) + 1), 0);
    qv01model::WavData wav;
    std::string err;
    EXPECT_EQ(qv01model::load_wav(big, wav, err), -27);
    EXPECT_NE(err.find("is larger than 16777216 bytes"), std::string::npos) << err;
    EXPECT_EQ(qv01model::load_wav(good, wav, err), 0) << err;
    EXPECT_EQ(wav.left.size(), 100u);
}

TEST_F(ChipModelSceneFiles, SceneTheModelCannotRunInRealTimeIsRefused) {
    RfScene scene;
    std::string err, warning;
    // The default scene runs with room to spare.
    ASSERT_EQ(qv01model::load_scene(QV_MODEL_DIR "/scenes/default_scene.ini", scene, err), 0)
        << err;
    EXPECT_EQ(qv01model::check_scene_real_time(scene, 66e6, "x", err, &warning), 0) << err;
    EXPECT_EQ(warning, "");
    // 40 stations of 16 tones: refused, naming the station where the
    // estimate passes the bound.
    const std::string heavy =
        write("heavy.ini", stations(40, "tones_hz = " + repeat("440", 16) + "\n"));
    ASSERT_EQ(qv01model::load_scene(heavy, scene, err), 0) << err;
    EXPECT_EQ(qv01model::check_scene_real_time(scene, 66e6, "file " + heavy, err, &warning), -22);
    EXPECT_NE(err.find("% of one core for this scene at a 66 MHz clock (40 stations, 640 tones"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(heavy + ", line "), std::string::npos) << err;
    // 24 plain stations: allowed at 66 MHz with a warning, refused at a clock
    // three times as fast (the model's work grows with it).
    const std::string plain = write("plain.ini", stations(24));
    ASSERT_EQ(qv01model::load_scene(plain, scene, err), 0) << err;
    EXPECT_EQ(qv01model::check_scene_real_time(scene, 66e6, "p", err, &warning), 0) << err;
    EXPECT_NE(warning.find("a busy machine may not keep up"), std::string::npos) << warning;
    EXPECT_EQ(qv01model::check_scene_real_time(scene, 200e6, "p", err, nullptr), -22);
    // The chip is not built around it either.
    qv01model::ChipModelOptions opts;
    opts.scene_path = heavy;
    EXPECT_EQ(qv01model::make_qv01_chip(opts, &err), nullptr);
    EXPECT_NE(err.find("cannot keep up in real time"), std::string::npos) << err;
}

TEST_F(ChipModelSceneFiles, FactoryPassesTheMessageOn) {
    write("notwav.wav", "RIFF....JUNKdata");
    const std::string path = write("badwav.ini", "[A]\nfreq_mhz = 100\nwav_file = notwav.wav\n");
    qv01model::ChipModelOptions opts;
    opts.scene_path = path;
    std::string ferr;
    EXPECT_EQ(qv01model::make_qv01_chip(opts, &ferr), nullptr);
    EXPECT_NE(ferr.find("line 3, A.wav_file: WAV file"), std::string::npos) << ferr;
    EXPECT_NE(ferr.find("not a RIFF/WAVE file"), std::string::npos) << ferr;
}

TEST_F(ChipModelSceneFiles, WavStationCarriesItsRecording) {
    // 0.25 s of a 1 kHz sine at half scale, looped: a whole number of cycles.
    write_wav("tone.wav", 1000.0, 0.5, 44100, 11025);
    const std::string path =
        write("wav.ini",
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
    const auto amp =
        fit_tones(audio, audio.size() / 10, audio.size(), fs / 4.0, {1000.0}, &sig, &res);
    // Mean of the audio is the 1500 Hz carrier offset; the tone is 0.5 * 0.8 of 75 kHz.
    EXPECT_NEAR(amp[0], 0.5 * 0.8 * 75000.0, 0.02 * 30000.0);
    EXPECT_GT(10.0 * std::log10(sig / res), 40.0);
}
