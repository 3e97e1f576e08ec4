#include "station_synth.h"

#include <algorithm>
#include <cmath>

#include "synth_kernels.h"

namespace qv01model {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kTwo32 = 4294967296.0;
constexpr double kPilotHz = 19000.0;
constexpr float kPilotShare = 0.1f;  // pilot deviation as a share of the peak deviation

uint32_t phase_inc(double freq_hz, double rate_hz) {
    double cycles = freq_hz / rate_hz;
    cycles -= std::floor(cycles);
    return uint32_t(uint64_t(cycles * kTwo32) & 0xFFFFFFFFu);
}

// Ideal pre-emphasis 1 + j 2 pi f tau: gain and phase lead of a steady tone.
void preemphasis(double freq_hz, double tau_s, float& gain, uint32_t& lead) {
    const double w = kTwoPi * freq_hz * tau_s;
    gain = float(std::sqrt(1.0 + w * w));
    lead = uint32_t(uint64_t(std::atan(w) / kTwoPi * kTwo32) & 0xFFFFFFFFu);
}

// Pre-emphasis of sampled audio: bilinear form of (1 + s tau) / (1 + s tau2)
// with the second corner at 0.4 of the sample rate, run twice over the loop so
// the looped signal starts in its steady state.
std::vector<float> preemphasise_loop(const std::vector<float>& x, double rate_hz, double tau_s) {
    if (tau_s <= 0.0 || x.empty()) return x;
    const double tau2 = 1.0 / (kTwoPi * 0.4 * rate_hz);
    const double k = 2.0 * rate_hz;
    const double a0 = 1.0 + k * tau2, a1 = 1.0 - k * tau2;
    const double b0 = (1.0 + k * tau_s) / a0, b1 = (1.0 - k * tau_s) / a0, fb = a1 / a0;
    std::vector<float> y(x.size());
    double xp = 0.0, yp = 0.0;
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < x.size(); ++i) {
            const double v = b0 * x[i] + b1 * xp - fb * yp;
            xp = x[i];
            yp = v;
            y[i] = float(v);
        }
    }
    return y;
}

}  // namespace

StationSynth::StationSynth(const StationSpec& spec, double rate_hz)
    : rate_hz_(rate_hz),
      audio_scale_(spec.pilot || spec.stereo ? 0.9f : 1.0f),
      pilot_(spec.pilot),
      stereo_(spec.stereo),
      pilot_inc_(phase_inc(kPilotHz, rate_hz)) {
    const double tau = spec.preemphasis_us * 1e-6;
    auto make_osc = [&](double f, double amp) {
        Osc o{phase_inc(f, rate_hz), 0, 1.0f};
        float g = 1.0f;
        preemphasis(f, tau, g, o.offset);
        o.amp = float(amp) * g;
        return o;
    };
    for (const ToneSpec& t : spec.audio.tones) {
        if (t.side == Side::Both) {
            mono_.push_back(make_osc(t.freq_hz, t.level));
        } else {
            // A tone on one side is half in the sum and +-half in the difference.
            mono_.push_back(make_osc(t.freq_hz, 0.5 * t.level));
            diff_.push_back(
                make_osc(t.freq_hz, t.side == Side::Left ? 0.5 * t.level : -0.5 * t.level));
        }
    }
    for (double f : spec.audio.melody_hz) {
        notes_.push_back(f > 0.0 ? make_osc(f, spec.audio.melody_level) : Osc{0, 0, 0.0f});
    }
    note_len_ = std::max<uint64_t>(2, uint64_t(spec.audio.note_ms * 1e-3 * rate_hz));
    // 10 ms raised-cosine attack and release keep note changes click-free.
    ramp_len_ = std::max<uint64_t>(1, std::min<uint64_t>(note_len_ / 2, uint64_t(0.010 * rate_hz)));
    if (!notes_.empty()) {
        attack_.resize(size_t(ramp_len_));
        for (uint64_t e = 0; e < ramp_len_; ++e) {
            attack_[size_t(e)] =
                0.5f - 0.5f * std::cos(float(3.14159265 * double(e) / double(ramp_len_)));
        }
        release_.assign(attack_.rbegin(), attack_.rend());
    }
    if (spec.audio.wav && !spec.audio.wav->left.empty()) {
        const WavData& w = *spec.audio.wav;
        std::vector<float> m(w.left.size()), d(w.left.size());
        for (size_t i = 0; i < m.size(); ++i) {
            m[i] = float(spec.audio.wav_level) * 0.5f * (w.left[i] + w.right[i]);
            d[i] = float(spec.audio.wav_level) * 0.5f * (w.left[i] - w.right[i]);
        }
        wav_mono_ = preemphasise_loop(m, w.rate_hz, tau);
        wav_diff_ = preemphasise_loop(d, w.rate_hz, tau);
        wav_step_ = w.rate_hz / rate_hz;
    }
    // Every part at its largest at once: the audio share of the sum and of the
    // difference (the subcarrier at +-1), the pilot's share.
    auto sum_amp = [](const std::vector<Osc>& v) {
        double a = 0.0;
        for (const Osc& o : v) a += std::fabs(double(o.amp));
        return a;
    };
    auto largest = [](const std::vector<float>& v) {
        double a = 0.0;
        for (float x : v) a = std::max(a, std::fabs(double(x)));
        return a;
    };
    double note = 0.0;
    for (const Osc& o : notes_) note = std::max(note, std::fabs(double(o.amp)));
    double audio = sum_amp(mono_) + note + largest(wav_mono_);
    if (stereo_) audio += sum_amp(diff_) + largest(wav_diff_);
    peak_ = double(audio_scale_) * audio + (pilot_ ? double(kPilotShare) : 0.0);
}

void StationSynth::render(uint64_t n0, float* mpx, size_t count) {
    const SynthKernels& kx = synth_kernels();
    auto tones_at = [&](const std::vector<Osc>& oscs) {
        tones_.clear();
        for (const Osc& o : oscs)
            tones_.push_back({uint32_t(o.inc * uint32_t(n0)) + o.offset, o.inc, o.amp});
        return tones_.data();
    };
    kx.add_tones(mpx, count, tones_at(mono_), mono_.size(), true);
    // Melody: note by note, each with its attack, steady part and release
    // (the ramps take at most half a note, so they never overlap).
    for (size_t i = 0; i < count && !notes_.empty();) {
        const uint64_t n = n0 + i;
        uint64_t j = n % note_len_;
        const Osc& o = notes_[(n / note_len_) % notes_.size()];
        const size_t end = i + size_t(std::min<uint64_t>(count - i, note_len_ - j));
        if (o.amp == 0.0f) {
            i = end;
            continue;
        }
        uint32_t ph = uint32_t(o.inc * uint32_t(n)) + o.offset;
        while (i < end) {
            size_t len;
            if (j < ramp_len_) {
                len = size_t(std::min<uint64_t>(end - i, ramp_len_ - j));
                kx.add_tone_env(mpx + i, len, ph, o.inc, o.amp, attack_.data() + j);
            } else if (j < note_len_ - ramp_len_) {
                len = size_t(std::min<uint64_t>(end - i, note_len_ - ramp_len_ - j));
                const Tone steady{ph, o.inc, o.amp};
                kx.add_tones(mpx + i, len, &steady, 1, false);
            } else {
                len = end - i;
                kx.add_tone_env(mpx + i, len, ph, o.inc, o.amp,
                                release_.data() + (j - (note_len_ - ramp_len_)));
            }
            i += len;
            j += len;
            ph += uint32_t(len) * o.inc;
        }
    }
    const bool wav = !wav_mono_.empty();
    const double len = double(wav_mono_.size());
    auto wav_at = [&](const std::vector<float>& v, uint64_t n) {
        double pos = std::fmod(double(n) * wav_step_, len);
        const size_t k = size_t(pos);
        const float frac = float(pos - double(k));
        const float a = v[k], b = v[k + 1 < v.size() ? k + 1 : 0];
        return a + frac * (b - a);
    };
    if (wav) {
        for (size_t i = 0; i < count; ++i) mpx[i] += wav_at(wav_mono_, n0 + i);
    }
    if (audio_scale_ != 1.0f) {
        const float scale = audio_scale_;
        for (size_t i = 0; i < count; ++i) mpx[i] *= scale;
    }
    if (stereo_ && (!diff_.empty() || wav)) {
        if (diff_buf_.size() < count) diff_buf_.resize(count);
        float* d = diff_buf_.data();
        kx.add_tones(d, count, tones_at(diff_), diff_.size(), true);
        if (wav) {
            for (size_t i = 0; i < count; ++i) d[i] += wav_at(wav_diff_, n0 + i);
        }
        // Difference signal as double-sideband suppressed carrier at twice the pilot phase.
        kx.add_modulated(mpx, d, count, uint32_t(2u * pilot_inc_ * uint32_t(n0)), 2u * pilot_inc_,
                         audio_scale_);
    }
    if (pilot_) {
        const Tone pilot{uint32_t(pilot_inc_ * uint32_t(n0)), pilot_inc_, kPilotShare};
        kx.add_tones(mpx, count, &pilot, 1, false);
    }
}

}  // namespace qv01model
