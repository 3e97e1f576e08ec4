// qv-radio on the virtual board, linked in place of libusb: the whole program
// (radio_main) on the test band (radio_scene.ini, QV_VIRTUAL_SCENE), its
// recordings measured, its table and health lines read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "radio_app.h"
#include "vboard_control.h"
#include "wav_measure.h"

namespace qvradio {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Level in dBFS of the component at `hz` in `channel` from `from_s` to
// `to_s`: Goertzel filters under a Hann window over half seconds, whose main
// lobe (+-4 Hz) holds a tone that the rate matching still moves by a few
// hundred ppm; their amplitudes averaged.
double level_dbfs(const qvtools::Pcm& pcm, int channel, double hz, double from_s, double to_s) {
    const size_t n = size_t(pcm.rate_hz / 2);
    const double w = 2 * kPi * hz / pcm.rate_hz;
    double sum = 0;
    int windows = 0;
    for (size_t from = size_t(from_s * pcm.rate_hz); from + n <= size_t(to_s * pcm.rate_hz);
         from += n, ++windows) {
        double s1 = 0, s2 = 0, window_sum = 0;
        for (size_t i = 0; i < n; ++i) {
            const double h = 0.5 - 0.5 * std::cos(2 * kPi * i / n);
            window_sum += h;
            const double x = h * pcm.samples[(from + i) * pcm.channels + channel] / 32767.0;
            const double s = x + 2 * std::cos(w) * s1 - s2;
            s2 = s1;
            s1 = s;
        }
        sum += 2 * std::hypot(s1 - s2 * std::cos(w), s2 * std::sin(w)) / window_sum;
    }
    return 20 * std::log10(std::max(sum / std::max(windows, 1), 1e-12));
}

// PCM level of a phase step of `deviation_hz` at the chip's 203.7 kHz.
double deviation_dbfs(double deviation_hz) {
    return 20 * std::log10(13000 * 2 * kPi * deviation_hz / (66e6 / 324) / 32767);
}

long file_size(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

// One run of the program; what it printed.
struct Outcome {
    int rc = -1;
    std::string out, err;
};

class RadioCli : public ::testing::Test {
  protected:
    void SetUp() override {
        vboard::reset();
        char dir[] = "/tmp/qvradio.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        raw_path_ = dir_ + "/raw.pcm";
    }
    void TearDown() override {
        std::string rm = "rm -rf " + dir_;
        EXPECT_EQ(std::system(rm.c_str()), 0);
    }
    std::string path(const char* name) const { return dir_ + "/" + name; }

    // Runs qv-radio with `args`; `during` runs beside it on another thread
    // with the stop flag.
    Outcome run(std::vector<std::string> args,
                const std::function<void(std::atomic<bool>&)>& during = nullptr) {
        std::vector<const char*> argv{"qv-radio"};
        for (const std::string& a : args) argv.push_back(a.c_str());
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        const int raw = ::open(raw_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::atomic<bool> stop{false};
        AppIo io;
        io.out = out;
        io.err = err;
        io.raw_fd = raw;
        io.stop = &stop;
        io.health_interval_s = 0.5;
        io.places.working_dir = std::string(QV_SOURCE_ROOT) + "/run";
        io.places.source_root = QV_SOURCE_ROOT;
        io.places.system_firmware = dir_ + "/no-maker-firmware.hex";
        std::thread beside;
        if (during) beside = std::thread([&] { during(stop); });
        Outcome r;
        r.rc = radio_main(int(argv.size()), argv.data(), io);
        if (beside.joinable()) beside.join();
        ::close(raw);
        r.out = read_all(out);
        r.err = read_all(err);
        return r;
    }

    static std::string read_all(std::FILE* f) {
        std::string s;
        std::rewind(f);
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
        std::fclose(f);
        return s;
    }

    // Waits (generously) until the file holds more than `bytes`.
    static bool wait_for_size(const std::string& file, long bytes) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < end) {
            if (file_size(file) > bytes) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // A WAV file whose header counts exactly the samples in it.
    static void expect_complete_wav(const std::string& file, int channels, int rate_hz,
                                    qvtools::Pcm* pcm) {
        ASSERT_EQ(qvtools::read_wav(file, *pcm), 0) << file;
        EXPECT_EQ(pcm->channels, channels);
        EXPECT_EQ(pcm->rate_hz, rate_hz);
        EXPECT_EQ(long(pcm->samples.size() * 2 + 44), file_size(file));
    }

    std::string dir_, raw_path_;
};

TEST_F(RadioCli, StereoStationSeparatesItsChannelsWithoutPilotResidue) {
    const std::string wav = path("stereo.wav");
    const Outcome r = run({"-f", "100.3M", "-o", wav, "--seconds", "4"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.err.find("100.3000 MHz, AFC"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("stereo (pilot "), std::string::npos) << r.err;
    qvtools::Pcm pcm;
    expect_complete_wav(wav, 2, 44100, &pcm);
    ASSERT_EQ(pcm.samples.size(), size_t(2 * 4 * 44100));
    // The last two seconds: the pilot locked and the blend at stereo. A tone
    // of 40 % of the deviation on one side, of the 90 % beside the pilot.
    const double l440 = level_dbfs(pcm, 0, 440, 2, 4), r440 = level_dbfs(pcm, 1, 440, 2, 4);
    const double l1250 = level_dbfs(pcm, 0, 1250, 2, 4), r1250 = level_dbfs(pcm, 1, 1250, 2, 4);
    EXPECT_NEAR(l440, deviation_dbfs(0.36 * 75000), 1.0);
    EXPECT_NEAR(r1250, deviation_dbfs(0.36 * 75000), 1.0);
    EXPECT_GE(l440 - r440, 30.0) << "left into right";
    EXPECT_GE(r1250 - l1250, 30.0) << "right into left";
    // The pilot, and the subcarrier's products folded to 44.1 - 38 kHz.
    for (int ch = 0; ch < 2; ++ch) {
        EXPECT_LE(level_dbfs(pcm, ch, 19000, 2, 4), -60.0) << ch;
        EXPECT_LE(level_dbfs(pcm, ch, 44100 - 38000, 2, 4), -60.0) << ch;
    }
}

TEST_F(RadioCli, MonoStationAndForcedMonoPlayTheSameInBothChannels) {
    // Without pilot (and 3 kHz off, which the AFC pulls in): its tone at 30 %
    // of the deviation. The stereo station forced to mono: the sum, each
    // side's tone at half its level.
    struct Case {
        std::vector<std::string> args;
        const char* mode;
        double tone_hz, level_dbfs;
    };
    const Case cases[] = {
        {{"-f", "100.8M"}, "mono (no pilot)", 700, deviation_dbfs(0.3 * 75000)},
        {{"-f", "100.3M", "--mono"}, "mono (forced, pilot", 1250, deviation_dbfs(0.18 * 75000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        const std::string wav = path("mono.wav");
        std::vector<std::string> args = c.args;
        for (const char* a : {"-o", wav.c_str(), "--seconds", "3"}) args.push_back(a);
        const Outcome r = run(args);
        ASSERT_EQ(r.rc, 0) << r.err;
        EXPECT_NE(r.err.find(c.mode), std::string::npos) << r.err;
        qvtools::Pcm pcm;
        expect_complete_wav(wav, 2, 44100, &pcm);
        size_t differ = 0;
        for (size_t i = 0; i + 1 < pcm.samples.size(); i += 2)
            differ += pcm.samples[i] != pcm.samples[i + 1];
        EXPECT_EQ(differ, 0u);
        EXPECT_NEAR(level_dbfs(pcm, 0, c.tone_hz, 1.5, 3), c.level_dbfs, 1.0);
    }
}

TEST_F(RadioCli, RawOutputHoldsExactlyTheSecondsAskedForAndIqTheChipRate) {
    const std::string iq = path("iq.wav");
    const Outcome r = run({"-f", "100.3M", "-o", "-", "--iq", iq, "--seconds", "1.5", "--quiet"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(file_size(raw_path_), 66150L * 4);
    qvtools::Pcm pcm;
    expect_complete_wav(iq, 2, 203704, &pcm);
    // What the audio took of the chip's output: 1.5 s and the start's backlog.
    const double seconds = pcm.samples.size() / 2 / 203704.0;
    EXPECT_GT(seconds, 1.4);
    EXPECT_LT(seconds, 2.5);
}

TEST_F(RadioCli, ScanListsTheTestBandsCarriersAndNothingElse) {
    const Outcome r = run({"--scan", "100M", "101.6M", "100k"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err.find("folds"), std::string::npos) << r.err;
    struct Found {
        double mhz, dbfs, khz;
        char stereo[8];
    };
    std::vector<Found> found;
    size_t at = r.out.find('\n') + 1;  // after the heading
    for (Found f; std::sscanf(r.out.c_str() + at, "%lf MHz %lf dBFS %lf kHz %7s", &f.mhz, &f.dbfs,
                              &f.khz, f.stereo) == 4;
         at = r.out.find('\n', at) + 1)
        found.push_back(f);
    ASSERT_EQ(found.size(), 3u) << r.out;
    const double expected_mhz[] = {100.3, 100.803, 101.45};
    const double expected_dbfs[] = {-25, -30, -50};
    const char* expected_stereo[] = {"yes", "no", "no"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(found[i].mhz, expected_mhz[i], 0.010) << r.out;
        EXPECT_NEAR(found[i].dbfs, expected_dbfs[i], 3.0) << r.out;
        EXPECT_STREQ(found[i].stereo, expected_stereo[i]) << r.out;
    }
    // Across the fold at 99 MHz it warns.
    const Outcome folded = run({"--scan", "98.9M", "99.1M", "100k"});
    EXPECT_EQ(folded.rc, 0) << folded.err;
    EXPECT_NE(folded.err.find("99.000 MHz, where the ADC folds"), std::string::npos) << folded.err;
}

TEST_F(RadioCli, StopFlagAndLostBoardEndWithACompleteRecording) {
    // Ctrl-C: exit 0; the board gone: exit 1 with one line. Both keep what
    // was recorded, header and all.
    struct Case {
        const char* name;
        std::function<void(std::atomic<bool>&)> act;
        int rc;
        const char* message;
    };
    const Case cases[] = {
        {"stop", [](std::atomic<bool>& stop) { stop = true; }, kExitOk, ""},
        {"unplug", [](std::atomic<bool>&) { vboard::unplug(); }, kExitFailure,
         "qv-radio: The board went away (USB device 04b4:8613 disconnected).\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vboard::reset();
        const std::string wav = path("cut.wav");
        std::remove(wav.c_str());
        const Outcome r = run({"-f", "100.3M", "-o", wav, "--quiet"}, [&](std::atomic<bool>& stop) {
            ASSERT_TRUE(wait_for_size(wav, 44 + 8 * 4096 * 4));
            c.act(stop);
        });
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.err, c.message);
        qvtools::Pcm pcm;
        expect_complete_wav(wav, 2, 44100, &pcm);
        EXPECT_GE(pcm.samples.size(), size_t(2 * 8 * 4096));
        if (c.rc == kExitOk) {
            EXPECT_FALSE(vboard::stats().stream_enabled) << "receiver stopped";
        }
    }
}

// Run under a private sound server (with_pulse.sh): the playback thread and
// the audio runs it asks for, to their end and the stream's drain.
TEST_F(RadioCli, PlaysThroughTheSoundServerUntilTheTimeLimit) {
    ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run under with_pulse.sh";
    const Outcome r = run({"-f", "100.3M", "--seconds", "2"});
    EXPECT_EQ(r.rc, kExitOk);
    EXPECT_EQ(r.err.find("qv-radio:"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("100.3000 MHz, AFC"), std::string::npos) << r.err;
}

TEST_F(RadioCli, FailuresSayWhyInOneLine) {
    struct Case {
        std::vector<std::string> args;
        int rc;
        const char* says;
    };
    const std::string wav = path("x.wav");
    const Case cases[] = {
        {{"-f", "100.3M", "-o", wav, "--config", path("none.ini")},
         kExitFailure,
         "Cannot open the configuration file"},
        {{"-f", "100.3M", "-o", wav, "--firmware", path("none.hex")}, kExitFailure, "none.hex"},
        {{"-f", "100.3M", "-o", path("no/dir/x.wav")}, kExitFailure, "Cannot create"},
        {{"-f", "100.3M", "-o", wav, "--iq", path("no/dir/iq.wav")}, kExitFailure, "Cannot create"},
        {{"-f", "100.3M", "-o", "/dev/null", "--iq", "/dev/full", "--seconds", "2"},
         kExitFailure,
         "Cannot write the I/Q recording: No space left on device."},
        {{"-f", "1O0M"}, kExitUsage, "not a frequency"},
        {{"--scan", "-f", "100M"}, kExitUsage, "--scan takes none of"},
        {{"-f", "100M", "--deemph", "60"}, kExitUsage, "--deemph takes 50 or 75"},
        {{"-o", wav}, kExitUsage, "no frequency"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const Outcome r = run(c.args);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.err.rfind("qv-radio: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        if (c.rc == kExitUsage) {
            EXPECT_NE(r.err.find("usage: qv-radio"), std::string::npos);
        } else {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_EQ(file_size(wav), -1) << "no recording left behind";
        }
    }
    // No board on the bus; no sound server to play on.
    vboard::unplug();
    Outcome r = run({"-f", "100.3M", "-o", wav});
    EXPECT_EQ(r.rc, kExitFailure);
    EXPECT_NE(r.err.find("No board"), std::string::npos) << r.err;
    vboard::reset();
    setenv("PULSE_SERVER", "unix:/nonexistent/qv-no-server", 1);
    r = run({"-f", "100.3M"});
    unsetenv("PULSE_SERVER");
    EXPECT_EQ(r.rc, kExitFailure);
    EXPECT_NE(r.err.find("Cannot play through the sound server"), std::string::npos) << r.err;
    EXPECT_EQ(vboard::stats().commands, 0u) << "the board untouched";
}

}  // namespace
}  // namespace qvradio
