// FM stereo beside the mono path: the pilot loop, the noise meter, the
// de-emphasis shelf, and left and right through the whole chain (I/Q in,
// 44.1 kHz out) with the decoder wired as a program wires it.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "signal_path.h"
#include "stereo_decoder.h"

namespace radio_dsp {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFs = 66e6 / 324;  // the chip's output rate
constexpr double kTau = 75e-6;

// Multiplex value at time t (in samples), in units of full deviation (75 kHz).
using Multiplex = std::function<double(double t)>;

// A steady tone as a pre-emphasised station sends it: gain and phase lead of
// 1 + j 2 pi f 75 us.
double emphasised_tone(double f, double level, double t) {
    const double w = 2 * kPi * f * kTau;
    return level * std::hypot(1.0, w) * std::sin(2 * kPi * f * t / kFs + std::atan(w));
}

// Broadcast stereo: 90 % audio, pilot at 10 %, L - R on twice the pilot phase.
Multiplex stereo(double left_hz, double right_hz, double level, bool pilot = true) {
    return [=](double t) {
        const double l = emphasised_tone(left_hz, level, t);
        const double r = emphasised_tone(right_hz, level, t);
        const double p = 2 * kPi * kPilotHz * t / kFs;
        return 0.9 * ((l + r) / 2 + (l - r) / 2 * std::sin(2 * p)) +
               (pilot ? 0.1 * std::sin(p) : 0.0);
    };
}

// The board's queue: a carrier of amplitude 20000 frequency-modulated by the
// multiplex, with complex white noise of `noise_rms` per component; the
// conjugate when `inverted` (the chip's channel is spectrally inverted). The
// phase is the multiplex integrated over each sample (Simpson), as a
// continuous FM signal sampled by the chip has it: the discriminator's phase
// step then averages the frequency over a sample, as it does on the board.
class FmSource : public SampleSource {
  public:
    FmSource(Multiplex mpx, double noise_rms = 0.0, bool inverted = false)
        : mpx_(std::move(mpx)),
          noise_(0.0, noise_rms > 0 ? noise_rms : 1.0),
          noise_rms_(noise_rms),
          inverted_(inverted),
          last_(mpx_(0.0)) {}
    void produce(double frames) { queued_ += frames; }
    int samples_available() override { return static_cast<int>(queued_); }
    int read_stream(int queue, int n, unsigned char* dst) override {
        if (queue != 0 || n / 4 > samples_available()) return -22;
        std::vector<int16_t> iq(n / 2);
        for (int k = 0; k < n / 4; ++k) {
            ++n_;
            const double mid = mpx_(n_ - 0.5), end = mpx_(double(n_));
            const double mean = (last_ + 4 * mid + end) / 6;
            last_ = end;
            phase_ = std::fmod(phase_ + 2 * kPi * 75e3 * mean / kFs, 2 * kPi);
            double i = 20000 * std::cos(phase_), q = 20000 * std::sin(phase_);
            if (noise_rms_ > 0) i += noise_(rng_), q += noise_(rng_);
            iq[2 * k] = static_cast<int16_t>(std::lround(i));
            iq[2 * k + 1] = static_cast<int16_t>(std::lround(inverted_ ? -q : q));
        }
        std::memcpy(dst, iq.data(), n);
        queued_ -= n / 4;
        return 0;
    }

  private:
    Multiplex mpx_;
    std::mt19937 rng_{5};
    std::normal_distribution<double> noise_;
    double noise_rms_;
    bool inverted_;
    double last_;
    double queued_ = 0, phase_ = 0;
    long n_ = 0;
};

// The mono path with the decoder wired in as the program wires it.
struct Radio : SignalPathObserver {
    Radio(SampleSource& source, double deemphasis_us, bool decode = true)
        : path(kQv01SignalPath), decoder(kFs, deemphasis_us), decode_(decode) {
        path.set_source(&source);
        path.set_observer(this);
        path.set_clock([this] { return t; });
    }
    void rate_matched(int, int, int) override {
        if (!decode_) return;
        decoder.follow(path.ring());
        decoder.resample(path.resampler());
    }
    // One run at the sound card's pace; `audio` gets the block.
    void run(FmSource& source, std::vector<int16_t>& audio) {
        audio.assign(2 * kAudioFrames, 0);
        source.produce(kAudioFrames * kFs / 44100);
        t += kAudioFrames / 44100.0;
        path.produce_audio(audio.data(), false, false);
        if (decode_) decoder.mix(audio.data());
    }
    // Frequency at which a tone of `hz` plays in the last block (the ratio
    // does not move within a run).
    double played(double hz) const { return hz * path.resampler().ratio() / 256 * 44100 / kFs; }

    SignalPath path;
    StereoDecoder decoder;
    double t = 0.0;

  private:
    bool decode_;
};

// Amplitude of the component at `hz` in one channel of a block.
double amplitude(const std::vector<int16_t>& block, int channel, double hz) {
    std::complex<double> acc = 0;
    double wsum = 0;
    for (int i = 0; i < kAudioFrames; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * kPi * i / (kAudioFrames - 1));  // Hann
        acc += w * block[2 * i + channel] * std::polar(1.0, -2 * kPi * hz * i / 44100);
        wsum += w;
    }
    return 2 * std::abs(acc) / wsum;
}

double db(double ratio) { return 20 * std::log10(ratio); }

TEST(PilotPll, LocksOnAnOffsetPilotWithin50ms) {
    // 2000 ppm of clock error moves the pilot 38 Hz; audio at 90 % beside it.
    for (double offset_hz : {-38.0, 0.0, 25.0}) {
        const double f = kPilotHz + offset_hz;
        std::vector<float> mpx(kFs * 0.05);
        const double a = 2 * kPi * 75e3 / kFs;  // full deviation in radians a sample
        for (size_t n = 0; n < mpx.size(); ++n)
            mpx[n] = a * (0.1 * std::sin(2 * kPi * f * n / kFs + 1.0) +
                          0.9 * std::sin(2 * kPi * 14900.0 * n / kFs));
        PilotPll pll(kFs);
        std::vector<float> carrier(mpx.size());
        pll.process(mpx.data(), static_cast<int>(mpx.size()), carrier.data());
        EXPECT_TRUE(pll.locked()) << offset_hz;
        EXPECT_NEAR(pll.frequency_hz(), f, 0.5) << offset_hz;
        EXPECT_NEAR(pll.pilot_level(), 0.1, 0.003) << offset_hz;
        // The carrier over the last 5 ms against 2 sin(2 x the pilot's phase).
        double worst = 0;
        for (size_t n = mpx.size() - 1024; n < mpx.size(); ++n)
            worst = std::max(
                worst, std::fabs(carrier[n] - 2 * std::sin(2 * (2 * kPi * f * n / kFs + 1.0))));
        EXPECT_LT(worst, 2 * std::sin(2 * kPi / 180)) << offset_hz;  // within 1 degree
    }
}

TEST(PilotPll, FindsNothingInAudioAndNoise) {
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0.0, 0.05);
    std::vector<float> mpx(kFs * 0.5);
    const double a = 2 * kPi * 75e3 / kFs;
    for (size_t n = 0; n < mpx.size(); ++n)
        mpx[n] = a * (0.9 * std::sin(2 * kPi * 15000.0 * n / kFs)) + noise(rng);
    PilotPll pll(kFs);
    for (size_t n = 0; n < mpx.size(); n += 1000) {
        pll.process(mpx.data() + n, static_cast<int>(std::min<size_t>(1000, mpx.size() - n)),
                    nullptr);
        ASSERT_FALSE(pll.locked()) << n;
    }
    EXPECT_LT(pll.pilot_level(), 0.01);
}

TEST(DeemphasisShelf, TurnsTheKernels75usInto50us) {
    EXPECT_TRUE(DeemphasisShelf(75).identity());
    for (double f : {100.0, 2122.0, 10000.0, 15000.0}) {
        DeemphasisShelf shelf(50);
        std::complex<double> acc = 0;
        const int n = 44100;
        for (int i = 0; i < n; ++i) {
            const float y = shelf.process(std::sin(2 * kPi * f * i / 44100));
            if (i >= n / 2) acc += double(y) * std::polar(1.0, -2 * kPi * f * i / 44100);
        }
        const double gain = 2 * std::abs(acc) / (n / 2);
        const double w = 2 * kPi * f;
        const double expected = std::hypot(1.0, w * 75e-6) / std::hypot(1.0, w * 50e-6);
        // The bilinear transform compresses the top of the band: 0.15 dB off at
        // 10 kHz, 0.03 dB at the 75 us corner.
        EXPECT_NEAR(db(gain), db(expected), f < 5000 ? 0.05 : 0.2) << f;
    }
}

TEST(MultiplexMeter, EstimatesTheAudioNoiseOfAQuietCarrier) {
    // Unmodulated carrier in white noise: what the mono audio carries is
    // noise alone, against the 75 kHz reference.
    for (double noise_rms : {200.0, 2000.0}) {
        FmSource source([](double) { return 0.0; }, noise_rms);
        Radio radio(source, 75, false);
        MultiplexMeter meter(kFs);
        std::vector<int16_t> audio;
        double noise = 0;
        int frames = 0;
        for (int run = 0; run < 30; ++run) {
            radio.run(source, audio);
            meter.measure(radio.path.ring());
            if (run < 10) continue;
            for (int i = 0; i < kAudioFrames; ++i, ++frames)
                noise += double(audio[2 * i]) * audio[2 * i];
        }
        const double reference = 13000 * 2 * kPi * 75e3 / kFs;  // full deviation in PCM units
        const double measured = 10 * std::log10(reference * reference / 2 / (noise / frames));
        std::printf("noise rms %.0f: audio SNR measured %.1f dB, estimated %.1f dB\n", noise_rms,
                    measured, meter.snr_db(75));
        EXPECT_NEAR(meter.snr_db(75), measured, 1.5) << noise_rms;
        // 50 us lets more of the rising noise through.
        EXPECT_LT(meter.snr_db(50), meter.snr_db(75) - 1.0);
    }
}

class StereoChain : public ::testing::TestWithParam<bool> {};

TEST_P(StereoChain, SeparatesLeftAndRightAndLeavesNoPilot) {
    // 1 kHz on the left, 2.5 kHz on the right; an inverted channel must not
    // swap them.
    const double fl = 1000, fr = 2500;
    FmSource source(stereo(fl, fr, 0.4), 0.0, GetParam());
    Radio radio(source, 75);
    std::vector<int16_t> audio;
    for (int run = 0; run < 40; ++run) {
        radio.run(source, audio);
        if (run < 25) continue;
        ASSERT_TRUE(radio.decoder.pilot().locked());
        ASSERT_EQ(radio.decoder.blend(), 1.0);
        const double ll = amplitude(audio, 0, radio.played(fl));
        const double rl = amplitude(audio, 1, radio.played(fl));
        const double rr = amplitude(audio, 1, radio.played(fr));
        const double lr = amplitude(audio, 0, radio.played(fr));
        // Pilot and the 38 kHz subcarrier (aliased to 6.1 kHz at 44.1 kHz).
        double residue = 0;
        for (int ch = 0; ch < 2; ++ch)
            for (double f : {radio.played(kPilotHz), 44100 - radio.played(2 * kPilotHz)})
                residue = std::max(residue, amplitude(audio, ch, f));
        if (run == 39)
            std::printf("separation L %.1f dB, R %.1f dB; residue %.1f dB below the tones\n",
                        db(ll / rl), db(rr / lr), db(std::min(ll, rr) / residue));
        EXPECT_GT(db(ll / rl), 45.0);
        EXPECT_GT(db(rr / lr), 45.0);
        EXPECT_GT(db(std::min(ll, rr) / residue), 60.0);
        // Each side at the mono path's scale: 13000 x 0.9 x 0.4 of full deviation.
        EXPECT_NEAR(db(ll / (13000 * 0.9 * 0.4 * 2 * kPi * 75e3 / kFs)), 0.0, 0.3);
    }
}

INSTANTIATE_TEST_SUITE_P(Channel, StereoChain, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Inverted" : "Upright"; });

TEST(StereoChainBlend, WithoutPilotOrForcedMonoThePathPlaysMono) {
    // No pilot: exactly what the mono path plays, in both channels.
    FmSource with_decoder(stereo(1000, 2500, 0.4, false)), alone(stereo(1000, 2500, 0.4, false));
    Radio radio(with_decoder, 75), mono(alone, 75, false);
    std::vector<int16_t> a, b;
    for (int run = 0; run < 20; ++run) {
        radio.run(with_decoder, a);
        mono.run(alone, b);
        ASSERT_EQ(a, b) << run;
    }
    EXPECT_FALSE(radio.decoder.pilot().locked());
    EXPECT_EQ(radio.decoder.blend(), 0.0);

    // A pilot and a stereo signal, but mono forced: the pilot is shown, the
    // channels are equal.
    FmSource source(stereo(1000, 2500, 0.4));
    Radio forced(source, 75);
    forced.decoder.set_forced_mono(true);
    for (int run = 0; run < 20; ++run) forced.run(source, a);
    EXPECT_TRUE(forced.decoder.pilot().locked());
    for (int i = 0; i < kAudioFrames; ++i) ASSERT_EQ(a[2 * i], a[2 * i + 1]) << i;
}

TEST(StereoChainBlend, NoiseBlendsTowardsMono) {
    // The pilot stays locked in noise, but the difference is faded out as the
    // SNR falls: half-way at 53 dB (noise 3000 against a carrier of 20000),
    // wholly mono at 42 dB.
    for (double noise : {3000.0, 8000.0}) {
        FmSource source(stereo(1000, 2500, 0.4), noise);
        Radio radio(source, 75);
        std::vector<int16_t> audio;
        for (int run = 0; run < 30; ++run) radio.run(source, audio);
        EXPECT_TRUE(radio.decoder.pilot().locked()) << noise;
        if (noise < 5000) {
            EXPECT_GT(radio.decoder.blend(), 0.2);
            EXPECT_LT(radio.decoder.blend(), 0.8);
        } else {
            EXPECT_LT(radio.decoder.snr_db(), StereoDecoder::kMonoSnrDb);
            EXPECT_EQ(radio.decoder.blend(), 0.0);
        }
    }
}

}  // namespace
}  // namespace radio_dsp
