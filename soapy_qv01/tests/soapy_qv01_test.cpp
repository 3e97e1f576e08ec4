// The qv01 driver through the SoapySDR API on the virtual board, loaded from
// the build tree with SOAPY_SDR_PLUGIN_PATH as an application loads it. The
// board carries the chip model with the scene of stations off their nominal
// frequencies (a plain carrier 30 kHz above 103.7 MHz, a three-tone station
// at 106.2 MHz), or the simple chip's frame counter.
#include <gtest/gtest.h>

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Errors.hpp>
#include <SoapySDR/Formats.hpp>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

#include "demod_ring.h"
#include "fm_discriminator.h"
#include "power_spectrum_estimator.h"
#include "qv01_regs.h"
#include "vboard_control.h"
#include "wav_measure.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kClock = 66e6;
const std::vector<int> kDecimations = {648, 324, 264, 132, 64};
constexpr double kCarrierHz = 103.73e6;  // PLAIN_CARRIER: 103.7 MHz + 30 kHz, -20 dBFS
constexpr double kTriadHz = 106.2e6;     // TRIAD: three tones, -15 dBFS

class Environment : public ::testing::Environment {
  public:
    void SetUp() override {
        // Read when the module and the board first come into existence.
        setenv("SOAPY_SDR_PLUGIN_PATH", QV_SOAPY_MODULE_DIR, 1);
        setenv("QV_VIRTUAL_SCENE", QV_TEST_SCENE, 1);
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

// A fresh board with the chip model or the counter behind it, and the
// device made on it.
class SoapyQv01 : public ::testing::Test {
  protected:
    void SetUp() override { make(vboard::Pattern::scene, "driver=qv01"); }
    void TearDown() override {
        if (stream_) dev_->closeStream(stream_);
        if (dev_) SoapySDR::Device::unmake(dev_);
        vboard::reset();
    }

    void make(vboard::Pattern pattern, const std::string& args) {
        if (stream_) dev_->closeStream(stream_);
        if (dev_) SoapySDR::Device::unmake(dev_);
        stream_ = nullptr;
        dev_ = nullptr;
        vboard::reset();
        vboard::set_pattern(pattern);
        dev_ = SoapySDR::Device::make(args);
        ASSERT_NE(dev_, nullptr);
    }

    void start(const std::string& format) {
        stream_ = dev_->setupStream(SOAPY_SDR_RX, format);
        ASSERT_EQ(dev_->activateStream(stream_), 0);
    }

    // Reads until `frames` CF32 frames came (errors other than a time-out
    // fail the test); the first `skip` frames (filter transients) are left out.
    std::vector<std::complex<float>> read_cf32(size_t frames, size_t skip = 4096) {
        std::vector<std::complex<float>> out(frames + skip);
        size_t got = 0;
        const Clock::time_point give_up = Clock::now() + std::chrono::seconds(30);
        while (got < out.size() && Clock::now() < give_up) {
            void* buffs[] = {out.data() + got};
            int flags = 0;
            long long t = 0;
            const int n = dev_->readStream(stream_, buffs, out.size() - got, flags, t, 200000);
            if (n == SOAPY_SDR_TIMEOUT) continue;
            if (n <= 0) {
                ADD_FAILURE() << "readStream: " << SoapySDR::errToStr(n);
                break;
            }
            got += n;
        }
        EXPECT_EQ(got, out.size());
        return std::vector<std::complex<float>>(out.begin() + skip, out.end());
    }

    SoapySDR::Device* dev_ = nullptr;
    SoapySDR::Stream* stream_ = nullptr;
};

struct Peak {
    double freq_hz;
    double level_db;   // of the peak bin
    double mirror_db;  // of the bin at -freq_hz
};

// Strongest component of 8192 frames (Blackman window) at `rate`.
Peak strongest(const std::vector<std::complex<float>>& x, double rate) {
    constexpr int kN = 8192;
    radio_dsp::SpectrumEstimator est;
    est.N = est.row_length = kN;
    est.window = radio_dsp::blackman_window;
    std::vector<std::complex<double>> in(x.begin(), x.begin() + kN);
    EXPECT_EQ(est.compute(in.data()), 0);
    const double* p = est.result();
    int best = 0;
    for (int i = 0; i < kN; ++i)
        if (p[i] > p[best]) best = i;
    const int mirror = (kN - best) % kN;  // bin of -f
    return {(best - kN / 2) * rate / kN, 10 * std::log10(p[best]), 10 * std::log10(p[mirror])};
}

uint16_t chip_reg(int offset) { return vboard::chip_register(qv01::reg_addr(0, offset)); }

// Channel 0's total decimation as the chip holds it.
int chip_decimation() {
    return (qv01::get_field(chip_reg(qv01::kOffCic2), qv01::cic2::kRatio) + 1) *
           (qv01::get_field(chip_reg(qv01::kOffCicn), qv01::cicn::kRatio) + 1) *
           (qv01::get_field(chip_reg(qv01::kOffDfir1Ctl), qv01::dfir::kRatio) + 1) *
           (qv01::get_field(chip_reg(qv01::kOffDfir2Ctl), qv01::dfir::kRatio) + 1);
}

TEST_F(SoapyQv01, FindsTheBoardAndTellsWhatItIs) {
    const SoapySDR::KwargsList found = SoapySDR::Device::enumerate("driver=qv01");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].at("bus"), "1");
    EXPECT_EQ(found[0].at("address"), "2");
    EXPECT_NE(found[0].at("label").find("QV01"), std::string::npos);
    EXPECT_TRUE(SoapySDR::Device::enumerate("driver=qv01,bus=7").empty());

    const SoapySDR::Kwargs info = dev_->getHardwareInfo();
    EXPECT_EQ(info.at("chip_id"), "0x5101");
    EXPECT_EQ(info.at("fx2_firmware_id"), "0x01003a30");  // fw/proto.hex on the virtual board
    EXPECT_EQ(info.at("serial_number"), "1");
    EXPECT_EQ(info.at("board_class"), "1");
    EXPECT_EQ(dev_->getNumChannels(SOAPY_SDR_RX), 1u);
    EXPECT_EQ(dev_->getNumChannels(SOAPY_SDR_TX), 0u);

    // The same board again, by its place, with its image named; nothing on
    // standard output (a program may write its samples there).
    testing::internal::CaptureStdout();
    make(vboard::Pattern::scene,
         "driver=qv01,bus=1,address=2,firmware=" + dev_->getHardwareInfo().at("firmware"));
    dev_->setSampleRate(SOAPY_SDR_RX, 0, kClock / 648);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    EXPECT_THROW(make(vboard::Pattern::scene, "driver=qv01,address=9"), std::runtime_error);
    EXPECT_THROW(make(vboard::Pattern::scene, "driver=qv01,firmware=/nonexistent.hex"),
                 std::runtime_error);
}

// Each rate runs its own configuration: the chip's decimation, the flat band,
// and the carrier 30 kHz above the tuning at +30 kHz in the stream.
TEST_F(SoapyQv01, EveryRateConfiguresItsChainAndShowsTheCarrierAbove) {
    std::vector<double> expected;
    for (int d : kDecimations) expected.push_back(kClock / d);
    ASSERT_EQ(dev_->listSampleRates(SOAPY_SDR_RX, 0), expected);
    dev_->setFrequency(SOAPY_SDR_RX, 0, kCarrierHz - 30e3);
    for (int d : kDecimations) {
        SCOPED_TRACE("decimation " + std::to_string(d));
        const double rate = kClock / d;
        dev_->setSampleRate(SOAPY_SDR_RX, 0, rate);
        EXPECT_EQ(dev_->getSampleRate(SOAPY_SDR_RX, 0), rate);
        EXPECT_DOUBLE_EQ(dev_->getBandwidth(SOAPY_SDR_RX, 0), 0.8 * rate);
        EXPECT_EQ(chip_decimation(), d);
        if (!stream_) start(SOAPY_SDR_CF32);  // rate changes while active from the second on
        const Peak p = strongest(read_cf32(8192), rate);
        EXPECT_NEAR(p.freq_hz, 30e3, 2 * rate / 8192);
        EXPECT_GT(p.level_db - p.mirror_db, 40.0);
    }
}

// A real 66 MHz ADC folds the band: 103.73 MHz also lands 30 kHz above
// tunings of 37.7 MHz (103.7 - 66) and of 28.24 MHz (2 x 66 - 103.76, the
// mirrored zone), and it shows above in every case.
TEST_F(SoapyQv01, TheCarrierIsAboveTheTuningInEveryZone) {
    start(SOAPY_SDR_CF32);
    const double rate = dev_->getSampleRate(SOAPY_SDR_RX, 0);
    for (double tuning :
         {kCarrierHz - 30e3, kCarrierHz - 30e3 - kClock, 2 * kClock - kCarrierHz - 30e3}) {
        SCOPED_TRACE("tuned to " + std::to_string(tuning));
        dev_->setFrequency(SOAPY_SDR_RX, 0, tuning);
        EXPECT_NEAR(dev_->getFrequency(SOAPY_SDR_RX, 0), tuning, 0.1);
        const Peak p = strongest(read_cf32(8192, 16384), rate);
        EXPECT_NEAR(p.freq_hz, 30e3, 2 * rate / 8192);
        EXPECT_GT(p.level_db - p.mirror_db, 40.0);
    }
}

TEST_F(SoapyQv01, DigitalGainScalesTheStream) {
    EXPECT_EQ(dev_->listGains(SOAPY_SDR_RX, 0), std::vector<std::string>{"DIGITAL"});
    const SoapySDR::Range range = dev_->getGainRange(SOAPY_SDR_RX, 0, "DIGITAL");
    EXPECT_EQ(range.minimum(), -60.0);
    EXPECT_EQ(range.maximum(), 6.0);
    dev_->setFrequency(SOAPY_SDR_RX, 0, kCarrierHz - 30e3);
    start(SOAPY_SDR_CF32);
    const double rate = dev_->getSampleRate(SOAPY_SDR_RX, 0);
    const double at_0db = strongest(read_cf32(8192), rate).level_db;
    EXPECT_EQ(chip_reg(qv01::kOffGainI), 16384);

    dev_->setGain(SOAPY_SDR_RX, 0, "DIGITAL", -20.0);  // while streaming
    EXPECT_EQ(dev_->getGain(SOAPY_SDR_RX, 0, "DIGITAL"), -20.0);
    EXPECT_EQ(chip_reg(qv01::kOffGainI), 1638);
    EXPECT_NEAR(strongest(read_cf32(8192, 16384), rate).level_db - at_0db, -20.0, 0.2);

    dev_->setGain(SOAPY_SDR_RX, 0, "DIGITAL", 20.0);  // clamped to the range
    EXPECT_EQ(dev_->getGain(SOAPY_SDR_RX, 0, "DIGITAL"), 6.0);
    EXPECT_EQ(chip_reg(qv01::kOffGainI), 32690);
}

TEST_F(SoapyQv01, ReadTimesOutWhenNothingComes) {
    stream_ = dev_->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16);
    std::vector<int16_t> buf(2 * 4096);
    void* buffs[] = {buf.data()};
    int flags = 0;
    long long t = 0;
    for (int cycle = 0; cycle < 2; ++cycle) {  // never activated, then deactivated
        const Clock::time_point t0 = Clock::now();
        EXPECT_EQ(dev_->readStream(stream_, buffs, 4096, flags, t, 100000), SOAPY_SDR_TIMEOUT);
        const double waited = std::chrono::duration<double>(Clock::now() - t0).count();
        EXPECT_GE(waited, 0.1);
        EXPECT_LT(waited, 10.0);  // returned, and not much later
        EXPECT_EQ(dev_->activateStream(stream_), 0);
        EXPECT_GT(dev_->readStream(stream_, buffs, 4096, flags, t, 1000000), 0);
        EXPECT_EQ(dev_->deactivateStream(stream_), 0);
    }
}

// After each activation the stream starts at the chip's first frame, time
// stamped 0, and carries every frame in order; I and Q come swapped (the
// counter's high half first).
TEST_F(SoapyQv01, DeactivateActivateCyclesRestartTheStream) {
    make(vboard::Pattern::counter, "driver=qv01");
    const double rate = dev_->getSampleRate(SOAPY_SDR_RX, 0);
    stream_ = dev_->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16);
    std::vector<int16_t> buf(2 * 16384);
    void* buffs[] = {buf.data()};
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_EQ(dev_->activateStream(stream_), 0);
        uint32_t next = 0;
        while (next < 100000) {
            int flags = 0;
            long long t = -1;
            const int n = dev_->readStream(stream_, buffs, 16384, flags, t, 1000000);
            ASSERT_GT(n, 0) << SoapySDR::errToStr(n);
            EXPECT_TRUE(flags & SOAPY_SDR_HAS_TIME);
            ASSERT_EQ(t, std::llround(next * 1e9 / rate));  // 0 for the first frame
            int i = 0;
            for (; i < n; ++i, ++next) {
                const uint32_t high = static_cast<uint16_t>(buf[2 * i]);
                if ((high << 16 | static_cast<uint16_t>(buf[2 * i + 1])) != next) break;
            }
            ASSERT_EQ(i, n) << "frame " << next << " out of order";
        }
        ASSERT_EQ(dev_->deactivateStream(stream_), 0);
    }
}

// A reader that stalls past the ring: one overflow, then the stream goes on
// with time stamps that count every frame lost.
TEST_F(SoapyQv01, OverflowIsReportedOnceAfterAStall) {
    const double rate = dev_->getSampleRate(SOAPY_SDR_RX, 0);
    start(SOAPY_SDR_CS16);
    const Clock::time_point give_up = Clock::now() + std::chrono::seconds(30);
    while (dev_->readSensor("ring_dropped_bytes") == "0" && Clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const long long dropped = std::stoll(dev_->readSensor("ring_dropped_bytes"));
    ASSERT_GT(dropped, 0);

    std::vector<int16_t> buf(2 * 16384);
    void* buffs[] = {buf.data()};
    int flags = 0;
    long long t = 0;
    EXPECT_EQ(dev_->readStream(stream_, buffs, 16384, flags, t, 1000000), SOAPY_SDR_OVERFLOW);
    int n = dev_->readStream(stream_, buffs, 16384, flags, t, 1000000);
    ASSERT_GT(n, 0);
    EXPECT_GE(t, std::llround(dropped / 4 * 1e9 / rate));
    // Read on promptly: no second report.
    for (int i = 0; i < 20; ++i) {
        n = dev_->readStream(stream_, buffs, 16384, flags, t, 1000000);
        ASSERT_GT(n, 0) << SoapySDR::errToStr(n);
    }
}

TEST_F(SoapyQv01, BoardGoneMidStreamEndsTheStreamWithAnError) {
    start(SOAPY_SDR_CS16);
    std::vector<int16_t> buf(2 * 4096);
    void* buffs[] = {buf.data()};
    int flags = 0;
    long long t = 0;
    ASSERT_GT(dev_->readStream(stream_, buffs, 4096, flags, t, 1000000), 0);
    vboard::unplug();
    int n = 0;
    const Clock::time_point give_up = Clock::now() + std::chrono::seconds(30);
    do {
        n = dev_->readStream(stream_, buffs, 4096, flags, t, 100000);
    } while ((n > 0 || n == SOAPY_SDR_TIMEOUT) && Clock::now() < give_up);
    EXPECT_EQ(n, SOAPY_SDR_STREAM_ERROR);
    EXPECT_EQ(dev_->readStream(stream_, buffs, 4096, flags, t, 100000), SOAPY_SDR_STREAM_ERROR);
    dev_->setFrequency(SOAPY_SDR_RX, 0, 100e6);  // logged, no hang
    EXPECT_EQ(dev_->deactivateStream(stream_), SOAPY_SDR_STREAM_ERROR);
}

// A reader thread and a control thread at once, as SoapySDR allows: while
// the control thread retunes, sets the gain, reads the sensors and changes
// the rate, the reader gets frames, time-outs or an overflow, never an error,
// and the frames go on coming afterwards.
TEST_F(SoapyQv01, ReaderAndControlThreadsAtOnce) {
    start(SOAPY_SDR_CS16);
    std::atomic<bool> stop{false};
    std::atomic<long long> frames{0}, errors{0};
    std::thread reader([&] {
        std::vector<int16_t> buf(2 * 16384);
        void* buffs[] = {buf.data()};
        while (!stop.load()) {
            int flags = 0;
            long long t = 0;
            const int n = dev_->readStream(stream_, buffs, 16384, flags, t, 50000);
            if (n > 0)
                frames += n;
            else if (n != SOAPY_SDR_TIMEOUT && n != SOAPY_SDR_OVERFLOW)
                ++errors;
        }
    });
    for (int i = 0; i < 40; ++i) {
        dev_->setFrequency(SOAPY_SDR_RX, 0, 100e6 + 10e3 * i);
        dev_->setGain(SOAPY_SDR_RX, 0, "DIGITAL", -(i % 10));
        dev_->readSensor("chip_overflow");
        dev_->readSensor("ring_dropped_bytes");
        if (i % 20 == 10) dev_->setSampleRate(SOAPY_SDR_RX, 0, kClock / (i < 20 ? 132 : 324));
    }
    const long long before = frames.load();
    const Clock::time_point give_up = Clock::now() + std::chrono::seconds(30);
    while (frames.load() < before + 20000 && Clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
    reader.join();
    EXPECT_EQ(errors.load(), 0);
    EXPECT_GE(frames.load(), before + 20000);
}

// The three-tone station demodulated from the stream with the project's FM
// discriminator and resampler: its tones stand at least 40 dB above the rest.
TEST_F(SoapyQv01, StationDemodulatesWithTheProjectsDsp) {
    const double rate = kClock / 324;
    dev_->setSampleRate(SOAPY_SDR_RX, 0, rate);
    dev_->setFrequency(SOAPY_SDR_RX, 0, kTriadHz);
    radio_dsp::FmDiscriminator discriminator;
    radio_dsp::DemodRing ring;
    radio_dsp::Resampler resampler;
    resampler.set_ratio(rate / 44100 * 256);
    // Frames each output chunk reaches into the ring, with the kernel's taps.
    const int chunk = 256;
    const int reach = static_cast<int>(chunk * rate / 44100) + radio_dsp::kResamplerTaps + 8;
    // Three seconds of the stream first, demodulated afterwards: a slow
    // (sanitizer) build must not fall behind the stream.
    const int blocks = static_cast<int>(3 * rate / radio_dsp::kBlockFrames);
    std::vector<int16_t> iq(2 * static_cast<size_t>(blocks) * radio_dsp::kBlockFrames);
    start(SOAPY_SDR_CS16);  // once the DSP is built: its tables take a while in a slow build
    for (size_t filled = 0; filled < iq.size() / 2;) {
        void* buffs[] = {iq.data() + 2 * filled};
        int flags = 0;
        long long t = 0;
        const int n = dev_->readStream(stream_, buffs, iq.size() / 2 - filled, flags, t, 1000000);
        ASSERT_GT(n, 0) << SoapySDR::errToStr(n);
        filled += n;
    }
    qvtools::Pcm audio{44100, 2, {}};
    std::vector<int16_t> out(2 * chunk);
    for (int b = 0; b < blocks; ++b) {
        discriminator.demodulate_block(iq.data() + 2 * b * radio_dsp::kBlockFrames, ring, nullptr,
                                       false, nullptr);
        while (ring.fill_level() >= reach) {
            resampler.resample(ring, out.data(), chunk, radio_dsp::ChannelLayout::kMonoBoth);
            audio.samples.insert(audio.samples.end(), out.begin(), out.end());
        }
    }
    qvtools::ToneReport r;
    ASSERT_EQ(qvtools::measure_tone(audio, 0, {261.63, 329.63, 392.0}, 0.5, r), 0);
    std::printf("station %.1f MHz: %.1f s of audio, strongest %.2f Hz, SNR %.1f dB\n",
                kTriadHz / 1e6, r.seconds, r.frequency_hz, r.snr_db);
    EXPECT_GE(r.snr_db, 40.0);
}

}  // namespace
