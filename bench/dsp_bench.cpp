// Prints the cost of the radio signal path: discriminator (ns per input
// sample), resampler (ns per output frame), spectrum with the panel's dB
// column squeeze (us per spectrum) and the whole processing run of one audio
// block (CPU share of real time), each for our classes, for the plain
// per-frame reference and for the same job through liquid-dsp; then the
// ratios, and how our audio compares with an exact reference (atan2 in double,
// the kernel summed tap by tap at our chain's own positions). Where the CPU
// has AVX2 and FMA, each line also times the SIMD limit: the same job written
// straight for AVX2 (dsp_bench_simd_limit.h), with its own audio against the
// exact reference at its own positions.
//
// The cases of each line are timed interleaved: every round runs each case
// once, in an order that rotates from round to round, so a busy machine
// slows them alike; the figures are the medians over the rounds of thread CPU
// time.
//
// Usage: dsp_bench [rounds]   (default 21)
#include <liquid/liquid.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "dsp_bench_simd_limit.h"
#include "per_frame_reference.h"
#include "power_spectrum_columns.h"
#include "signal_path.h"

using namespace radio_dsp;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kInputRate = 66e6 / 324;           // 203.7 kHz
constexpr double kBlockSeconds = 4096.0 / 44100.0;  // 92.9 ms of audio
constexpr int kInputBlocks = 64;
constexpr int kColumns = 541;
constexpr double kOffsetDb = 1.0 + 154.9558;

// liquid's complex float has the layout of std::complex<float>.
liquid_float_complex* lc(std::complex<float>* p) {
    return reinterpret_cast<liquid_float_complex*>(p);
}

double thread_cpu_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// Times the cases interleaved (see the top); returns each case's median
// thread CPU time of one call, in ns.
std::vector<double> interleaved_medians(int rounds,
                                        const std::vector<std::function<void()>>& cases) {
    for (const auto& f : cases) f();  // warm caches and plans
    const size_t n = cases.size();
    std::vector<std::vector<double>> t(n);
    for (int r = 0; r < rounds; ++r)
        for (size_t i = 0; i < n; ++i) {
            const size_t c = (i + r) % n;
            const double t0 = thread_cpu_ns();
            cases[c]();
            t[c].push_back(thread_cpu_ns() - t0);
        }
    std::vector<double> medians(n);
    for (size_t c = 0; c < n; ++c) {
        std::nth_element(t[c].begin(), t[c].begin() + rounds / 2, t[c].end());
        medians[c] = t[c][rounds / 2];
    }
    return medians;
}

// 1 kHz tone with 75 us pre-emphasis at half of 75 kHz deviation, amplitude
// 20000 plus a little noise, as 16-bit I/Q frames.
std::vector<int16_t> make_input() {
    std::vector<int16_t> iq(2 * 4096 * kInputBlocks);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0, 30);
    const double w = 2 * kPi * 1000, tau = 75e-6, pre = std::hypot(1.0, w * tau);
    double phase = 0;
    for (size_t k = 0; k < iq.size() / 2; ++k) {
        phase = std::fmod(
            phase + 2 * kPi * 37.5e3 * pre * std::sin(w * k / kInputRate) / kInputRate, 2 * kPi);
        iq[2 * k] = static_cast<int16_t>(std::lround(20000 * std::cos(phase) + noise(rng)));
        iq[2 * k + 1] = static_cast<int16_t>(std::lround(20000 * std::sin(phase) + noise(rng)));
    }
    return iq;
}

// Sample queue that replays the input at the input rate: each audio block
// makes 4096 x fs / 44100 more frames available.
class Replay : public SampleSource {
  public:
    explicit Replay(const std::vector<int16_t>& iq) : iq_(iq) { queued_ = 10000; }
    void advance() { queued_ += 4096 * kInputRate / 44100; }
    int samples_available() override { return static_cast<int>(queued_); }
    int read_stream(int, int n, unsigned char* dst) override {
        const int16_t* frames = iq_.data() + 2 * pos_;
        std::memcpy(dst, frames, n);
        if (reads != nullptr) reads->push_back(frames);
        pos_ = (pos_ + n / 4) % (iq_.size() / 2);
        queued_ -= n / 4;
        return 0;
    }
    // When set, every read's frames are noted here.
    std::vector<const int16_t*>* reads = nullptr;

  private:
    const std::vector<int16_t>& iq_;
    size_t pos_ = 0;
    double queued_;
};

// The spectrum panel's trace as described: every value to dB, then min/max
// per column.
void naive_columns(const double* data, int len, double* lo, double* hi) {
    int column = 0, acc = 0, k = 0;
    auto v = [&](int i) { return 10 * std::log10(data[i]) - kOffsetDb; };
    double mn = v(0), mx = mn;
    while (column < kColumns && k < len) {
        const double x = v(k);
        mn = std::min(mn, x), mx = std::max(mx, x);
        ++k;
        acc += kColumns;
        if (acc >= len) {
            acc -= len;
            lo[column] = mn, hi[column] = mx;
            ++column;
            if (k < len) mn = mx = v(k);
        }
    }
}

// Rate matching as the reference and liquid chains do it (the rule itself).
void match_rate(int avail, int& step, int& lower, int& upper) {
    if (avail < lower) step -= 1 + (30000 - avail) / 1500, lower = avail - 500, upper = 40000;
    if (avail > upper) step += 1 + (avail - 40000) / 1500, upper = avail + 500, lower = 30000;
}

// ---- our chain ----
struct OurChain : SignalPathObserver {
    explicit OurChain(const std::vector<int16_t>& iq) : src(iq), path(kQv01SignalPath) {
        path.set_source(&src);
        path.set_observer(this);
    }
    void spectrum_ready(const double* p, int len) override {
        spectrum_columns_db(p, len, kColumns, kOffsetDb, lo, hi);
        ++spectra;
    }
    void run(int16_t* out) {
        src.advance();
        path.produce_audio(out, false, false);
    }
    Replay src;
    SignalPath path;
    double lo[kColumns], hi[kColumns];
    long spectra = 0;
};

// Whether the signal path computes the spectrum of every demodulated block
// or only of the newest one of each run: the other chains do the same job.
bool spectrum_every_block(const std::vector<int16_t>& iq) {
    OurChain probe(iq);
    std::vector<int16_t> out(2 * 4096);
    for (int r = 0; r < 8; ++r) probe.run(out.data());
    return probe.spectra > 8;
}

// ---- plain reference chain ----
struct RefChain {
    RefChain(const std::vector<int16_t>& iq, bool every_block)
        : every_block(every_block),
          src(iq),
          ring(65536, 0.0f),
          block(2 * 4096),
          spec_in(4096),
          power(4096),
          window(4096),
          image(ImageLayout::kRgb32Set) {
        for (int n = 0; n < 4096; ++n) window[n] = blackman_window(n, 4096);
    }
    void spectrum() {
        reference::spectrum(spec_in.data(), 4096, 1, 4096, 1, window.data(), power.data());
        naive_columns(power.data(), 4096, lo, hi);
    }
    void run(int16_t* out) {
        src.advance();
        bool demodulated = false;
        while (src.samples_available() >= 4096) {
            src.read_stream(0, 16384, reinterpret_cast<unsigned char*>(block.data()));
            disc.demodulate_block(block.data(), ring.data(), write_index, &image, false,
                                  spec_in.data());
            if (every_block) spectrum();
            demodulated = true;
        }
        if (!every_block && demodulated) spectrum();
        match_rate(static_cast<uint16_t>(write_index - read_index), step, lower, upper);
        reference::resample(ring.data(), acc, step, out, 4096, false, read_index);
        image.fade();
    }
    bool every_block;
    Replay src;
    reference::Discriminator disc;
    std::vector<float> ring;
    std::vector<int16_t> block;
    std::vector<std::complex<double>> spec_in;
    std::vector<double> power, window;
    ConstellationImage image;
    uint16_t write_index = 0, read_index = 0;
    uint32_t acc = 0;
    int step = 1182, lower = 30000, upper = 40000;
    double lo[kColumns], hi[kColumns];
};

// ---- the exact reference of our chain's audio ----
// Follows an OurChain: every demodulated block's phase steps by atan2 in
// double (the conjugate product is exact), rounded to float once, at the
// ring indices our discriminator used; the ring's other entries (silence the
// rate matching inserted) as our chain wrote them; then every output frame
// summed tap by tap in double at the position our resampler took for it.
struct ExactReference : SignalPathObserver {
    explicit ExactReference(OurChain& chain) : chain(chain), ring(65536, 0.0f), start(4) {
        chain.path.set_observer(this);
        chain.src.reads = &reads;
    }
    void spectrum_ready(const double* p, int len) override { chain.spectrum_ready(p, len); }
    // After the run's demodulation and rate matching, before resampling: the
    // run read its demodulated blocks first, then any it skipped.
    void rate_matched(int, int, int) override {
        const DemodRing& our = chain.path.ring();
        for (int k = 0; k < 65536; ++k) ring[k] = our.at(static_cast<uint16_t>(k));
        const long skipped = static_cast<long>(chain.path.dropped_blocks() - dropped_before);
        const long demodulated = static_cast<long>(reads.size()) - skipped;
        uint16_t w = write_before;
        for (long b = 0; b < demodulated; ++b)
            for (int k = 0; k < 4096; ++k, ++w) {
                const double i = reads[b][2 * k], q = reads[b][2 * k + 1];
                if (i == 0 && q == 0) {
                    ring[w] = ring[static_cast<uint16_t>(w - 1)];
                } else {
                    ring[w] = static_cast<float>(
                        std::atan2(q * prev_i - i * prev_q, i * prev_i + q * prev_q));
                    prev_i = i, prev_q = q;
                }
            }
        const Resampler& r = chain.path.resampler();
        start = {r.phase_accumulator, r.phase_fraction, static_cast<uint32_t>(r.step),
                 r.step_fraction};
    }
    // One processing run of the chain and its reference audio.
    void run(int16_t* out, int16_t* exact) {
        reads.clear();
        write_before = chain.path.ring().write_index;
        dropped_before = chain.path.dropped_blocks();
        chain.run(out);
        const uint64_t pos0 = uint64_t(start[0]) << 32 | start[1];
        const uint64_t step = uint64_t(start[2]) << 32 | start[3];
        for (int f = 0; f < 4096; ++f) {
            uint32_t acc = static_cast<uint32_t>((pos0 + f * step) >> 32);
            uint16_t read = 0;
            reference::resample(ring.data(), acc, 0, exact + 2 * f, 1, false, read);
        }
    }
    OurChain& chain;
    std::vector<float> ring;
    std::vector<const int16_t*> reads;  // this run's
    uint16_t write_before = 0;
    uint64_t dropped_before = 0;
    std::vector<uint32_t> start;  // accumulator, its fraction, step, its fraction
    double prev_i = 1.0, prev_q = 0.0;
};

// ---- the same job through liquid-dsp ----
struct LiquidChain {
    LiquidChain(const std::vector<int16_t>& iq, bool every_block)
        : every_block(every_block),
          src(iq),
          ring(65536, 0.0f),
          block(2 * 4096),
          x(4096),
          fx(4096),
          fy(4096),
          phase(4096),
          window(4096),
          power(4096),
          image(ImageLayout::kRgb32Set) {
        dem = freqdem_create(static_cast<float>(1.0 / (2 * kPi)));  // output in radians per sample
        // Filter i holds our phase i; liquid runs each sub-filter over its window
        // newest sample first, so the taps go in reversed.
        std::vector<float> h(256 * kTaps, 0.0f);
        const double* kernel = resampler_kernel();
        for (int i = 0; i < 256; ++i)
            for (int m = 0; m < kTaps; ++m) {
                const int k = i + 256 * (kTaps - 1 - m);
                h[i + 256 * m] = k < kResamplerKernelLength ? static_cast<float>(kernel[k]) : 0.0f;
            }
        pfb = firpfb_rrrf_create(256, h.data(), h.size());
        fft = fft_create_plan(4096, lc(fx.data()), lc(fy.data()), LIQUID_FFT_FORWARD, 0);
        for (int n = 0; n < 4096; ++n) window[n] = static_cast<float>(blackman_window(n, 4096));
    }
    ~LiquidChain() {
        freqdem_destroy(dem);
        firpfb_rrrf_destroy(pfb);
        fft_destroy_plan(fft);
    }
    void demod_block() {
        for (int k = 0; k < 4096; ++k)
            x[k] = {static_cast<float>(block[2 * k]), static_cast<float>(block[2 * k + 1])};
        freqdem_demodulate_block(dem, lc(x.data()), 4096, phase.data());
        for (int k = 0; k < 4096; ++k) {
            ring[write_index++] = phase[k];
            const float m = std::abs(x[k]);
            mean = 0.0001 * m + 0.9999 * mean;
            image.plot_raw(block[2 * k], block[2 * k + 1], m > mean);
        }
    }
    void spectrum() {
        for (int n = 0; n < 4096; ++n) fx[n] = x[n] * window[n];
        fft_execute(fft);
        for (int i = 0; i < 2048; ++i) {
            power[i] = std::norm(fy[i + 2048]);
            power[i + 2048] = std::norm(fy[i]);
        }
        spectrum_columns_db(power.data(), 4096, kColumns, kOffsetDb, lo, hi);
    }
    void resample(int16_t* out) {
        for (int f = 0; f < 4096; ++f) {
            const uint32_t pos = acc >> 8;
            const int ph = 255 - static_cast<int>(acc & 0xFF);
            // Push until the window ends at ring[pos + kTaps - 1].
            const uint16_t need = static_cast<uint16_t>(pos + kTaps);
            while (pushed != need) firpfb_rrrf_push(pfb, ring[pushed++]);
            float y;
            firpfb_rrrf_execute(pfb, ph, &y);
            out[2 * f] = out[2 * f + 1] = pcm_from_phase_sum(y);
            read_index = static_cast<uint16_t>(pos);
            acc += step;
        }
    }
    void run(int16_t* out) {
        src.advance();
        bool demodulated = false;
        while (src.samples_available() >= 4096) {
            src.read_stream(0, 16384, reinterpret_cast<unsigned char*>(block.data()));
            demod_block();
            if (every_block) spectrum();
            demodulated = true;
        }
        if (!every_block && demodulated) spectrum();  // x still holds the newest block
        match_rate(static_cast<uint16_t>(write_index - read_index), step, lower, upper);
        resample(out);
        image.fade();
    }
    static constexpr int kTaps = 122;
    bool every_block;
    simd_limit::Angle angle;
    Replay src;
    std::vector<float> ring;
    std::vector<int16_t> block;
    std::vector<std::complex<float>> x, fx, fy;
    std::vector<float> phase, window;
    std::vector<double> power;
    ConstellationImage image;
    freqdem dem;
    firpfb_rrrf pfb;
    fftplan fft;
    double mean = 0;
    uint16_t write_index = 0, read_index = 0;
    uint32_t acc = 0;
    uint16_t pushed = 0;  // ring index after the newest sample in the filter bank
    int step = 1182, lower = 30000, upper = 40000;
    double lo[kColumns], hi[kColumns];
};

// ---- the SIMD limit ----
// The run straight in AVX2, rate matching by the plain rule.
struct LimitChain {
    LimitChain(const std::vector<int16_t>& iq, bool every_block,
               simd_limit::Angle angle = simd_limit::Angle::kSingle)
        : every_block(every_block),
          angle(angle),
          src(iq),
          ring(simd_limit::kRingSize + simd_limit::kRingMirror, 0.0f),
          block(2 * 4096),
          image(simd_limit::kImageBytes, 0),
          spectrum(kOffsetDb),
          kernel(phase_kernel_table()) {}
    void run(int16_t* out) {
        src.advance();
        bool demodulated = false;
        while (src.samples_available() >= 4096) {
            src.read_stream(0, 16384, reinterpret_cast<unsigned char*>(block.data()));
            simd_limit::demodulate(block.data(), ring.data() + write_index, disc, image.data(),
                                   angle);
            if (write_index == 0)
                std::copy(ring.begin(), ring.begin() + simd_limit::kRingMirror,
                          ring.begin() + simd_limit::kRingSize);
            write_index = static_cast<uint16_t>(write_index + 4096);
            if (every_block) spectrum.compute(block.data(), lo, hi);
            demodulated = true;
        }
        if (!every_block && demodulated) spectrum.compute(block.data(), lo, hi);
        match_rate(static_cast<uint16_t>(write_index - read_index), step, lower, upper);
        resample_acc = acc;
        simd_limit::resample(ring.data(), kernel, acc, step, out, 4096, read_index);
        simd_limit::fade(image.data());
    }
    bool every_block;
    simd_limit::Angle angle;
    Replay src;
    std::vector<float> ring;
    std::vector<int16_t> block;
    std::vector<unsigned char> image;
    simd_limit::DiscriminatorState disc;
    simd_limit::Spectrum spectrum;
    const double* kernel;
    uint16_t write_index = 0, read_index = 0;
    uint32_t acc = 0, resample_acc = 0;
    int step = 1182, lower = 30000, upper = 40000;
    double lo[kColumns], hi[kColumns];
};

// One run of the limit and its exact audio: the blocks it read by atan2 in
// double, rounded to float once, then every output frame tap by tap at the
// limit's own position.
struct LimitExact {
    explicit LimitExact(LimitChain& chain) : chain(chain), ring(65536, 0.0f) {
        chain.src.reads = &reads;
    }
    void run(int16_t* out, int16_t* exact) {
        reads.clear();
        uint16_t w = chain.write_index;
        chain.run(out);
        for (const int16_t* b : reads)
            for (int k = 0; k < 4096; ++k, ++w) {
                const double i = b[2 * k], q = b[2 * k + 1];
                ring[w] = static_cast<float>(
                    std::atan2(q * prev_i - i * prev_q, i * prev_i + q * prev_q));
                prev_i = i, prev_q = q;
            }
        for (int f = 0; f < 4096; ++f) {
            uint32_t acc = chain.resample_acc + static_cast<uint32_t>(f * chain.step);
            uint16_t read = 0;
            reference::resample(ring.data(), acc, 0, exact + 2 * f, 1, false, read);
        }
    }
    LimitChain& chain;
    std::vector<float> ring;
    std::vector<const int16_t*> reads;
    double prev_i = 1.0, prev_q = 0.0;
};

double snr_db(const std::vector<int16_t>& ref, const std::vector<int16_t>& x) {
    double s = 0, e = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
        s += static_cast<double>(ref[i]) * ref[i];
        e += (static_cast<double>(x[i]) - ref[i]) * (static_cast<double>(x[i]) - ref[i]);
    }
    return e == 0 ? INFINITY : 10 * std::log10(s / e);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 21;
    const std::vector<int16_t> iq = make_input();
    double load1 = -1;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load1) != 1) load1 = -1;
        std::fclose(f);
    }
    const bool every_block = spectrum_every_block(iq);
    const bool limit = simd_limit::available();
    std::printf(
        "dsp_bench: medians of %d rounds, cases interleaved, thread CPU time; load average "
        "%.2f\nspectrum of %s, as the signal path does\n%s\n\n",
        rounds, load1, every_block ? "every demodulated block" : "the newest block of each run",
        limit ? "SIMD limit: the same job written straight for AVX2 with FMA"
              : "SIMD limit: not measured (the CPU lacks AVX2 or FMA)");

    // Discriminator: 16 blocks of 4096 frames.
    FmDiscriminator disc;
    DemodRing ring;
    reference::Discriminator rdisc;
    std::vector<float> rring(65536);
    uint16_t rw = 0;
    LiquidChain lq(iq, every_block);
    simd_limit::DiscriminatorState ldisc;
    std::vector<float> lring(simd_limit::kRingSize + simd_limit::kRingMirror);
    const int kDiscBlocks = 16;
    std::vector<std::function<void()>> cases = {
        [&] {
            for (int b = 0; b < kDiscBlocks; ++b)
                disc.demodulate_block(iq.data() + 8192 * b, ring, nullptr, false, nullptr);
        },
        [&] {
            for (int b = 0; b < kDiscBlocks; ++b)
                rdisc.demodulate_block(iq.data() + 8192 * b, rring.data(), rw, nullptr, false,
                                       nullptr);
        },
        [&] {
            for (int b = 0; b < kDiscBlocks; ++b) {
                for (int k = 0; k < 4096; ++k)
                    lq.x[k] = {static_cast<float>(iq[8192 * b + 2 * k]),
                               static_cast<float>(iq[8192 * b + 2 * k + 1])};
                freqdem_demodulate_block(lq.dem, lc(lq.x.data()), 4096, lq.phase.data());
                for (int k = 0; k < 4096; ++k) lq.ring[lq.write_index++] = lq.phase[k];
            }
        }};
    if (limit)
        cases.push_back([&] {
            for (int b = 0; b < kDiscBlocks; ++b)
                simd_limit::demodulate(iq.data() + 8192 * b, lring.data() + 4096 * b, ldisc,
                                       nullptr);
        });
    const std::vector<double> d = interleaved_medians(rounds, cases);
    for (int k = 0; k < 65536; ++k)
        rring[k] = ring.at(static_cast<uint16_t>(k)), lq.ring[k] = rring[k], lring[k] = rring[k];
    std::copy(lring.begin(), lring.begin() + simd_limit::kRingMirror,
              lring.begin() + simd_limit::kRingSize);

    // Resampler: 4096 output frames.
    std::vector<int16_t> out(2 * 4096);
    Resampler rs;
    uint32_t racc = 0, lacc = 0;
    uint16_t rread = 0, lread = 0;
    const double* kernel = phase_kernel_table();
    cases = {[&] { rs.resample(ring, out.data(), 4096, ChannelLayout::kMonoBoth); },
             [&] { reference::resample(rring.data(), racc, 1182, out.data(), 4096, false, rread); },
             [&] { lq.resample(out.data()); }};
    if (limit)
        cases.push_back([&] {
            simd_limit::resample(lring.data(), kernel, lacc, 1182, out.data(), 4096, lread);
        });
    const std::vector<double> r = interleaved_medians(rounds, cases);

    // Spectrum of one block plus the 541-column dB squeeze.
    std::vector<std::complex<double>> sin(4096);
    for (int k = 0; k < 4096; ++k)
        sin[k] = {static_cast<double>(iq[2 * k]), static_cast<double>(iq[2 * k + 1])};
    SpectrumEstimator est;
    est.window = blackman_window;
    est.single_precision =
        kQv01SignalPath.spectrum_single_precision;  // as the radio's signal path plans it
    est.plan_measured();
    std::vector<double> power(4096), window(4096);
    for (int n = 0; n < 4096; ++n) window[n] = blackman_window(n, 4096);
    double lo[kColumns], hi[kColumns], llo[kColumns], lhi[kColumns];
    for (int k = 0; k < 4096; ++k)
        lq.x[k] = {static_cast<float>(iq[2 * k]), static_cast<float>(iq[2 * k + 1])};
    std::unique_ptr<simd_limit::Spectrum> lsp;
    if (limit) lsp = std::make_unique<simd_limit::Spectrum>(kOffsetDb);
    cases = {[&] {
                 est.compute_frames(iq.data());
                 spectrum_columns_db(est.result(), 4096, kColumns, kOffsetDb, lo, hi);
             },
             [&] {
                 reference::spectrum(sin.data(), 4096, 1, 4096, 1, window.data(), power.data());
                 naive_columns(power.data(), 4096, lo, hi);
             },
             [&] { lq.spectrum(); }};
    if (limit) cases.push_back([&] { lsp->compute(iq.data(), llo, lhi); });
    const std::vector<double> sp = interleaved_medians(rounds, cases);
    // How far our columns are from the transform's in double precision, and
    // the limit's from ours.
    double column_error_db = 0, double_error_db = 0;
    {
        SpectrumEstimator in_double;
        in_double.window = blackman_window;
        in_double.compute_frames(iq.data());
        spectrum_columns_db(in_double.result(), 4096, kColumns, kOffsetDb, llo, lhi);
        est.compute_frames(iq.data());
        spectrum_columns_db(est.result(), 4096, kColumns, kOffsetDb, lo, hi);
        for (int c = 0; c < kColumns; ++c)
            double_error_db =
                std::max({double_error_db, std::fabs(llo[c] - lo[c]), std::fabs(lhi[c] - hi[c])});
    }
    if (limit) {
        lsp->compute(iq.data(), llo, lhi);
        for (int c = 0; c < kColumns; ++c)
            column_error_db =
                std::max({column_error_db, std::fabs(llo[c] - lo[c]), std::fabs(lhi[c] - hi[c])});
    }

    // Whole processing run: 32 audio blocks per round, each chain carrying on
    // from where the previous round left it (the replay wraps).
    const int kRuns = 32;
    OurChain our_chain(iq);
    RefChain ref_chain(iq, every_block);
    LiquidChain liq_chain(iq, every_block);
    std::unique_ptr<LimitChain> lim_chain, dbl_chain;
    cases = {[&] {
                 for (int k = 0; k < kRuns; ++k) our_chain.run(out.data());
             },
             [&] {
                 for (int k = 0; k < kRuns; ++k) ref_chain.run(out.data());
             },
             [&] {
                 for (int k = 0; k < kRuns; ++k) liq_chain.run(out.data());
             }};
    if (limit) {
        lim_chain = std::make_unique<LimitChain>(iq, every_block);
        cases.push_back([&] {
            for (int k = 0; k < kRuns; ++k) lim_chain->run(out.data());
        });
        // The limit at the signal path's precision.
        dbl_chain = std::make_unique<LimitChain>(iq, every_block, simd_limit::Angle::kDouble);
        cases.push_back([&] {
            for (int k = 0; k < kRuns; ++k) dbl_chain->run(out.data());
        });
    }
    const std::vector<double> w = interleaved_medians(rounds, cases);
    auto pct = [](double ns) { return 100.0 * ns * 1e-9 / kBlockSeconds; };

    // Same audio? 40 blocks from fresh chains: ours and the limit against
    // their exact references; liquid-dsp (the plain chain's rate rule)
    // against the plain chain.
    std::vector<int16_t> a_our, a_exact, a_ref, a_liq, a_lim, a_lim_exact, a_dbl, a_dbl_exact,
        exact(2 * 4096);
    {
        OurChain o(iq);
        ExactReference x(o);
        RefChain rc(iq, every_block);
        LiquidChain l(iq, every_block);
        std::unique_ptr<LimitChain> lim, dbl;
        std::unique_ptr<LimitExact> lim_x, dbl_x;
        if (limit) {
            lim = std::make_unique<LimitChain>(iq, every_block);
            lim_x = std::make_unique<LimitExact>(*lim);
            dbl = std::make_unique<LimitChain>(iq, every_block, simd_limit::Angle::kDouble);
            dbl_x = std::make_unique<LimitExact>(*dbl);
        }
        for (int b = 0; b < 40; ++b) {
            x.run(out.data(), exact.data());
            a_our.insert(a_our.end(), out.begin(), out.end());
            a_exact.insert(a_exact.end(), exact.begin(), exact.end());
            rc.run(out.data());
            a_ref.insert(a_ref.end(), out.begin(), out.end());
            l.run(out.data());
            a_liq.insert(a_liq.end(), out.begin(), out.end());
            if (limit) {
                lim_x->run(out.data(), exact.data());
                a_lim.insert(a_lim.end(), out.begin(), out.end());
                a_lim_exact.insert(a_lim_exact.end(), exact.begin(), exact.end());
                dbl_x->run(out.data(), exact.data());
                a_dbl.insert(a_dbl.end(), out.begin(), out.end());
                a_dbl_exact.insert(a_dbl_exact.end(), exact.begin(), exact.end());
            }
        }
    }
    size_t differing = 0, lim_differing = 0, dbl_differing = 0;
    for (size_t i = 0; i < a_our.size(); ++i) differing += a_our[i] != a_exact[i];
    for (size_t i = 0; i < a_lim.size(); ++i) lim_differing += a_lim[i] != a_lim_exact[i];
    for (size_t i = 0; i < a_dbl.size(); ++i) dbl_differing += a_dbl[i] != a_dbl_exact[i];

    // One line: the four cases (the limit's when measured) and the ratios.
    auto line = [&](const char* what, int digits, double scale, const std::vector<double>& t) {
        std::printf("%-34s %12.*f %12.*f %12.*f ", what, digits, t[0] / scale, digits, t[1] / scale,
                    digits, t[2] / scale);
        if (limit)
            std::printf("%12.*f ", digits, t[3] / scale);
        else
            std::printf("%12s ", "-");
        std::printf("%10.3f %10.3f", t[0] / t[1], t[0] / t[2]);
        if (limit) std::printf(" %12.2f", t[0] / t[3]);
        std::printf("\n");
    };
    std::printf("%-34s %12s %12s %12s %12s %10s %10s %12s\n", "", "ours", "reference", "liquid-dsp",
                "SIMD limit", "ours/ref", "ours/liq", "× SIMD limit");
    line("discriminator, ns per input sample", 2, 4096.0 * kDiscBlocks, d);
    line("resampler, ns per output frame", 2, 4096, r);
    line("spectrum + 541 dB columns, us", 2, 1e3, sp);
    line("whole run per audio block, us", 1, kRuns * 1e3, w);
    std::printf("%-34s %11.3f%% %11.3f%% %11.3f%%", "CPU share of real time", pct(w[0] / kRuns),
                pct(w[1] / kRuns), pct(w[2] / kRuns));
    if (limit) std::printf(" %11.3f%%", pct(w[3] / kRuns));
    std::printf("\n");
    std::printf(
        "\naudio over 40 blocks: ours against its exact reference %zu of %zu samples differ, "
        "SNR %.1f dB; liquid-dsp against the plain chain %.1f dB\n"
        "our spectrum columns (%s precision) within %.2g dB of the transform in double\n",
        differing, a_our.size(), snr_db(a_exact, a_our), snr_db(a_ref, a_liq),
        kQv01SignalPath.spectrum_single_precision ? "single" : "double", double_error_db);
    if (limit) {
        std::printf(
            "SIMD limit against its exact reference %zu of %zu samples differ, SNR %.1f dB; its "
            "spectrum columns within %.2g dB of ours\n",
            lim_differing, a_lim.size(), snr_db(a_lim_exact, a_lim), column_error_db);
        std::printf(
            "SIMD limit with the angles in double: whole run %.1f us, ours %.2f × it; its audio "
            "against its exact reference %zu of %zu samples differ, SNR %.1f dB\n",
            w[4] / kRuns / 1e3, w[0] / w[4], dbl_differing, a_dbl.size(),
            snr_db(a_dbl_exact, a_dbl));
        std::printf("the project's whole run: %.2f × the SIMD limit\n", w[0] / w[3]);
    } else
        std::printf("SIMD limit: not measured (the CPU lacks AVX2 or FMA)\n");
    return 0;
}
