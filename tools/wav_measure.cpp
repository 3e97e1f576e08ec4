#include "wav_measure.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace qvtools {
namespace {

constexpr int kSegment = 16384;  // Welch segment, 2.7 Hz bins at 44.1 kHz
constexpr double kLowHz = 50.0;
constexpr double kHighHz = 15000.0;
constexpr int kToneHalfWidth = 6;  // bins either side of a tone's peak (Blackman-Harris main lobe)

uint32_t le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

int read_wav(const std::string& path, Pcm& out) {
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) return -2;
    unsigned char hdr[12];
    if (std::fread(hdr, 1, 12, f.get()) != 12 || std::memcmp(hdr, "RIFF", 4) != 0 ||
        std::memcmp(hdr + 8, "WAVE", 4) != 0)
        return -22;
    bool have_fmt = false;
    for (;;) {
        unsigned char ch[8];
        if (std::fread(ch, 1, 8, f.get()) != 8) return -22;
        const uint32_t size = le32(ch + 4);
        if (std::memcmp(ch, "fmt ", 4) == 0) {
            unsigned char fmt[16];
            if (size < 16 || std::fread(fmt, 1, 16, f.get()) != 16) return -22;
            const uint16_t format = le16(fmt);
            out.channels = le16(fmt + 2);
            out.rate_hz = static_cast<int>(le32(fmt + 4));
            const uint16_t bits = le16(fmt + 14);
            if ((format != 1 && format != 0xFFFE) || bits != 16 || out.channels < 1) return -22;
            if (std::fseek(f.get(), long(size - 16 + (size & 1)), SEEK_CUR) != 0) return -22;
            have_fmt = true;
        } else if (std::memcmp(ch, "data", 4) == 0) {
            if (!have_fmt) return -22;
            out.samples.assign(size / 2, 0);
            // sox writes 0xFFFFFFFF-ish sizes for streams it could not seek; read what is there.
            const size_t got = std::fread(out.samples.data(), 2, out.samples.size(), f.get());
            out.samples.resize(got - got % out.channels);
            for (auto& s : out.samples) {
                const auto* b = reinterpret_cast<const unsigned char*>(&s);
                s = static_cast<int16_t>(le16(b));
            }
            return 0;
        } else if (std::fseek(f.get(), long(size + (size & 1)), SEEK_CUR) != 0) {
            return -22;
        }
    }
}

int read_raw(const std::string& path, int rate_hz, int channels, Pcm& out) {
    if (rate_hz < 1 || channels < 1) return -22;
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) return -2;
    out.rate_hz = rate_hz;
    out.channels = channels;
    out.samples.clear();
    unsigned char buf[65536];
    std::vector<unsigned char> bytes;
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f.get())) > 0;)
        bytes.insert(bytes.end(), buf, buf + n);
    const size_t frame_bytes = 2 * size_t(channels);
    const size_t whole = bytes.size() - bytes.size() % frame_bytes;
    out.samples.resize(whole / 2);
    for (size_t i = 0; i < out.samples.size(); ++i)
        out.samples[i] = static_cast<int16_t>(le16(&bytes[2 * i]));
    return 0;
}

int measure_tone(const Pcm& pcm, int channel, const std::vector<double>& tones_hz, double margin_s,
                 ToneReport& out) {
    if (pcm.rate_hz <= 0 || channel < 0 || channel >= pcm.channels) return -22;
    const size_t frames = pcm.samples.size() / pcm.channels;
    std::vector<double> x(frames);
    for (size_t i = 0; i < frames; ++i) x[i] = pcm.samples[i * pcm.channels + channel];

    // Level gate over 10 ms windows: audio is where the RMS exceeds -60 dBFS.
    const size_t win = static_cast<size_t>(pcm.rate_hz / 100);
    size_t first = frames, last = 0;
    for (size_t w = 0; w + win <= frames; w += win) {
        double e = 0;
        for (size_t i = w; i < w + win; ++i) e += x[i] * x[i];
        if (std::sqrt(e / win) > 32767.0 * 1e-3) {
            first = std::min(first, w);
            last = w + win;
        }
    }
    const size_t margin = static_cast<size_t>(margin_s * pcm.rate_hz);
    if (first >= last || last - first <= 2 * margin + kSegment) return -61;
    first += margin;
    last -= margin;
    out.start_s = double(first) / pcm.rate_hz;
    out.seconds = double(last - first) / pcm.rate_hz;

    double e = 0, peak_sample = 0;
    for (size_t i = first; i < last; ++i) {
        e += x[i] * x[i];
        peak_sample = std::max(peak_sample, std::fabs(x[i]));
    }
    out.peak_dbfs = 20.0 * std::log10(std::max(peak_sample, 1e-3) / 32767.0);
    out.rms_dbfs =
        10.0 * std::log10(std::max(e / double(last - first), 1e-30) / (32767.0 * 32767.0));

    // Welch power spectrum with a 4-term Blackman-Harris window, half overlap.
    std::vector<double> w(kSegment);
    for (int n = 0; n < kSegment; ++n) {
        const double a = 2.0 * M_PI * n / kSegment;
        w[n] =
            0.35875 - 0.48829 * std::cos(a) + 0.14128 * std::cos(2 * a) - 0.01168 * std::cos(3 * a);
    }
    double* in = fftw_alloc_real(kSegment);
    fftw_complex* spec = fftw_alloc_complex(kSegment / 2 + 1);
    fftw_plan plan = fftw_plan_dft_r2c_1d(kSegment, in, spec, FFTW_ESTIMATE);
    std::vector<double> psd(kSegment / 2 + 1, 0.0);
    int segments = 0;
    for (size_t s = first; s + kSegment <= last; s += kSegment / 2, ++segments) {
        for (int n = 0; n < kSegment; ++n) in[n] = x[s + n] * w[n];
        fftw_execute(plan);
        for (int k = 0; k <= kSegment / 2; ++k)
            psd[k] += spec[k][0] * spec[k][0] + spec[k][1] * spec[k][1];
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(spec);

    const double bin_hz = double(pcm.rate_hz) / kSegment;
    const int lo = static_cast<int>(std::ceil(kLowHz / bin_hz));
    const int hi = std::min(kSegment / 2, static_cast<int>(kHighHz / bin_hz));
    int peak = lo;
    for (int k = lo; k <= hi; ++k)
        if (psd[k] > psd[peak]) peak = k;
    // Parabolic interpolation on the log spectrum around the peak.
    double delta = 0;
    if (peak > lo && peak < hi) {
        const double a = std::log(psd[peak - 1] + 1e-300), b = std::log(psd[peak] + 1e-300),
                     c = std::log(psd[peak + 1] + 1e-300);
        if (a - 2 * b + c != 0) delta = 0.5 * (a - c) / (a - 2 * b + c);
    }
    out.frequency_hz = (peak + delta) * bin_hz;

    // Parseval: a sine of amplitude A puts N·A²/4·Σw² into the positive-frequency bins of its lobe.
    double peak_energy = 0;
    for (int k = std::max(lo, peak - kToneHalfWidth); k <= std::min(hi, peak + kToneHalfWidth); ++k)
        peak_energy += psd[k];
    double wsq = 0;
    for (double v : w) wsq += v * v;
    const double amplitude = std::sqrt(4.0 * peak_energy / segments / (double(kSegment) * wsq));
    out.tone_dbfs = 20.0 * std::log10(std::max(amplitude, 1e-12) / 32767.0);

    std::vector<bool> is_tone(psd.size(), false);
    std::vector<double> centres = tones_hz;
    if (centres.empty()) centres.push_back(out.frequency_hz);
    for (double f : centres) {
        // Each listed tone is taken at the strongest bin within 1 % of its nominal frequency.
        const int c0 = static_cast<int>(std::lround(f / bin_hz));
        const int reach = std::max(kToneHalfWidth, static_cast<int>(f * 0.01 / bin_hz));
        int c = c0;
        for (int k = std::max(lo, c0 - reach); k <= std::min(hi, c0 + reach); ++k)
            if (psd[k] > psd[c]) c = k;
        for (int k = std::max(0, c - kToneHalfWidth);
             k <= std::min(int(psd.size()) - 1, c + kToneHalfWidth); ++k)
            is_tone[k] = true;
    }
    double signal = 0, noise = 0;
    for (int k = lo; k <= hi; ++k) (is_tone[k] ? signal : noise) += psd[k];
    out.snr_db = 10.0 * std::log10(std::max(signal, 1e-300) / std::max(noise, 1e-300));
    return 0;
}

bool tones_present(const ToneReport& r, const std::vector<double>& tones_hz, double tolerance,
                   double min_snr_db) {
    if (r.snr_db < min_snr_db) return false;
    for (double f : tones_hz)
        if (std::fabs(r.frequency_hz - f) <= tolerance * f) return true;
    return false;
}

int find_tones(const Pcm& pcm, int channel, const std::vector<double>& tones_hz, double window_s,
               double tolerance, double min_snr_db, ToneReport& out) {
    if (pcm.rate_hz <= 0 || channel < 0 || channel >= pcm.channels || !(window_s > 0.0)) return -22;
    const size_t frames = pcm.samples.size() / pcm.channels;
    const size_t window = static_cast<size_t>(window_s * pcm.rate_hz);
    const size_t step = std::max<size_t>(1, window / 4);
    if (window <= kSegment) return -22;
    Pcm part;
    part.rate_hz = pcm.rate_hz;
    part.channels = pcm.channels;
    bool any = false;
    ToneReport best;
    for (size_t first = 0; first + window <= frames; first += step) {
        part.samples.assign(pcm.samples.begin() + first * pcm.channels,
                            pcm.samples.begin() + (first + window) * pcm.channels);
        ToneReport r;
        if (measure_tone(part, channel, tones_hz, 0.0, r) != 0) continue;
        r.start_s += double(first) / pcm.rate_hz;
        if (tones_present(r, tones_hz, tolerance, min_snr_db)) {
            out = r;
            return 0;
        }
        if (!any || r.snr_db > best.snr_db) best = r;
        any = true;
    }
    if (!any) return -62;
    out = best;
    return -61;
}

}  // namespace qvtools
