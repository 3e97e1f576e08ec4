// qv-radio-bench: the figures qv-radio is held to, measured on the virtual
// board linked in (bench_scene.ini):
//   stereo    separation both ways and the pilot's and subcarrier's residue
//             in the audio of the stereo station (L 392 Hz, R 587.33 Hz);
//   cost      CPU time per second of audio of qv-radio's own threads (the
//             signal path on the main thread, the stream thread), the
//             virtual board's producer not counted: a mono station, the
//             stereo station forced to mono, the stereo station;
//   latency   with a sound server (tools/headless_lib.sh's null sink, or
//             classic_frontend/tests/with_pulse.sh): a retune from a silent
//             carrier to the stereo station, against the sink's monitor
//             recorded with time stamps: from the retune to the first sound.
// Usage: qv-radio-bench [--seconds S] [--no-latency]   (from any directory)
#include <dirent.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "health_line.h"
#include "pulse_output.h"
#include "receiver.h"
#include "vboard_control.h"

namespace {

using qvradio::Receiver;
constexpr double kPi = 3.14159265358979323846;
constexpr int kFrames = radio_dsp::kAudioFrames;

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Nanoseconds on the CPU per thread name, from /proc/self/task/*/schedstat.
std::map<std::string, double> thread_cpu_s() {
    std::map<std::string, double> cpu;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return cpu;
    const std::string main_tid = std::to_string(getpid());
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        std::string name;
        std::ifstream(base + "/comm") >> name;
        if (main_tid == e->d_name) name = "main";
        double ns = 0;
        std::ifstream(base + "/schedstat") >> ns;
        cpu[name] += ns * 1e-9;
    }
    closedir(dir);
    return cpu;
}

// Amplitude (full scale 1) of `hz` in channel `ch` of interleaved stereo
// frames, Hann-windowed Goertzel over half seconds, averaged.
double amplitude(const std::vector<int16_t>& pcm, int ch, double hz) {
    const size_t n = 22050, frames = pcm.size() / 2;
    const double w = 2 * kPi * hz / 44100;
    double sum = 0;
    int windows = 0;
    for (size_t from = 0; from + n <= frames; from += n, ++windows) {
        double s1 = 0, s2 = 0, window_sum = 0;
        for (size_t i = 0; i < n; ++i) {
            const double h = 0.5 - 0.5 * std::cos(2 * kPi * i / n);
            window_sum += h;
            const double s = h * pcm[2 * (from + i) + ch] / 32767.0 + 2 * std::cos(w) * s1 - s2;
            s2 = s1;
            s1 = s;
        }
        sum += 2 * std::hypot(s1 - s2 * std::cos(w), s2 * std::sin(w)) / window_sum;
    }
    return windows > 0 ? sum / windows : 0;
}

double db(double a) { return 20 * std::log10(std::max(a, 1e-12)); }

std::unique_ptr<Receiver> open_receiver(double freq_hz, bool mono) {
    vboard::reset();
    qvradio::ReceiverSettings s;
    s.firmware = std::string(QV_SOURCE_ROOT) + "/fw/proto.hex";
    s.config = "../config/FM_radio.ini";
    s.frequency_hz = freq_hz;
    s.afc = false;
    s.mono = mono;
    auto rx = std::make_unique<Receiver>(s);
    std::string error, warning;
    if (chdir(QV_SOURCE_ROOT "/run") != 0 || rx->open(&error, &warning) < 0 ||
        rx->wait_for_stream(10, &error) < 0) {
        std::fprintf(stderr, "qv-radio-bench: %s\n", error.c_str());
        std::exit(1);
    }
    return rx;
}

// Plays `seconds` on `clock` (a steady 44.1 kHz from its first block on);
// returns the audio after `skip_s`.
std::vector<int16_t> play(Receiver& rx, qvradio::SteadyClock& clock, double seconds,
                          double skip_s) {
    std::vector<int16_t> block(2 * kFrames), kept;
    for (double done = 0; done < seconds; done += double(kFrames) / 44100) {
        while (clock.wait_due(100) == 0) {
        }
        rx.produce(block.data());
        clock.submit(block.data(), kFrames);
        if (done >= skip_s) kept.insert(kept.end(), block.begin(), block.end());
    }
    return kept;
}

void stereo_figures(double seconds) {
    auto rx = open_receiver(103.5e6, false);
    qvradio::SteadyClock clock(kFrames);
    const std::vector<int16_t> pcm = play(*rx, clock, seconds, 2.0);
    const double l = db(amplitude(pcm, 0, 392)), lr = db(amplitude(pcm, 1, 392));
    const double r = db(amplitude(pcm, 1, 587.33)), rl = db(amplitude(pcm, 0, 587.33));
    std::printf("stereo 103.5 MHz, %.0f s after the first 2:\n", seconds - 2);
    std::printf("  left 392 Hz %.1f dBFS, in right %.1f: separation L->R %.1f dB\n", l, lr, l - lr);
    std::printf("  right 587.33 Hz %.1f dBFS, in left %.1f: separation R->L %.1f dB\n", r, rl,
                r - rl);
    for (int ch = 0; ch < 2; ++ch)
        std::printf("  %s: pilot 19 kHz %.1f dBFS, subcarrier 38 kHz (at 6.1 kHz) %.1f dBFS\n",
                    ch == 0 ? "left" : "right", db(amplitude(pcm, ch, 19000)),
                    db(amplitude(pcm, ch, 44100 - 38000)));
}

void cost(const char* what, double freq_hz, bool mono, double seconds) {
    auto rx = open_receiver(freq_hz, mono);
    qvradio::SteadyClock clock(kFrames);
    play(*rx, clock, 2.0, 1e9);  // settled
    const auto before = thread_cpu_s();
    const double t0 = now_s();
    play(*rx, clock, seconds, 1e9);
    const double wall = now_s() - t0;
    const auto after = thread_cpu_s();
    double ours = 0, board = 0;
    std::string parts;
    for (const auto& [name, s] : after) {
        const double used = s - (before.count(name) ? before.at(name) : 0.0);
        if (name.rfind("qv-vboard", 0) == 0) {
            board += used;
        } else {
            ours += used;
            char text[64];
            std::snprintf(text, sizeof text, " %s %.2f %%", name.c_str(), 100 * used / wall);
            parts += text;
        }
    }
    std::printf("cost %-22s %.2f %% of one core (%s), virtual board %.1f %%; %s\n", what,
                100 * ours / wall, parts.c_str() + 1, 100 * board / wall,
                qvradio::health_line(rx->health()).c_str());
}

// The sink's monitor, read on a thread of its own: each sample with the time
// it was captured.
class MonitorRecorder {
  public:
    int start(std::string* error) {
        pa_sample_spec spec{PA_SAMPLE_S16LE, 44100, 2};
        pa_buffer_attr attr;
        std::memset(&attr, 0xFF, sizeof attr);
        attr.fragsize = 441 * 4;  // 10 ms
        int e = 0;
        rec_ = pa_simple_new(nullptr, "qv-radio-bench", PA_STREAM_RECORD, "@DEFAULT_MONITOR@",
                             "monitor", &spec, nullptr, &attr, &e);
        if (rec_ == nullptr) return *error = pa_strerror(e), -1;
        thread_ = std::thread([this] { run(); });
        return 0;
    }
    ~MonitorRecorder() {
        quit_ = true;
        if (thread_.joinable()) thread_.join();
        if (rec_ != nullptr) pa_simple_free(rec_);
    }
    // Time of the first frame captured at or after `from_s` whose left or
    // right sample exceeds `threshold`; NaN when none came within `wait_s`.
    double first_sound(double from_s, int threshold, double wait_s) {
        const double end = now_s() + wait_s;
        size_t k = 0;
        while (now_s() < end) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (; k < times_.size(); ++k)
                    if (times_[k] >= from_s && (std::abs(samples_[2 * k]) > threshold ||
                                                std::abs(samples_[2 * k + 1]) > threshold))
                        return times_[k];
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return NAN;
    }

  private:
    void run() {
        std::vector<int16_t> chunk(441 * 2);
        while (!quit_) {
            int e = 0;
            if (pa_simple_read(rec_, chunk.data(), chunk.size() * 2, &e) < 0) return;
            const double t = now_s() - pa_simple_get_latency(rec_, &e) * 1e-6;
            std::lock_guard<std::mutex> lock(mutex_);
            for (int i = 0; i < 441; ++i) {
                times_.push_back(t - (440 - i) / 44100.0);
                samples_.push_back(chunk[2 * i]);
                samples_.push_back(chunk[2 * i + 1]);
            }
        }
    }
    pa_simple* rec_ = nullptr;
    std::thread thread_;
    std::atomic<bool> quit_{false};
    std::mutex mutex_;
    std::vector<double> times_;
    std::vector<int16_t> samples_;
};

void latency(int retunes) {
    std::string error;
    MonitorRecorder monitor;
    qvradio::PulseOutput out;
    if (monitor.start(&error) < 0 || out.open("qv-radio-bench", kFrames, &error) < 0) {
        std::printf("latency: no sound server (%s): run under with_pulse.sh\n", error.c_str());
        return;
    }
    auto rx = open_receiver(100.0e6, false);
    std::vector<int16_t> block(2 * kFrames);
    std::vector<double> found;
    auto play_for = [&](double seconds) {
        for (const double end = now_s() + seconds; now_s() < end;) {
            const int due = out.wait_due(100);
            if (due < 0) return false;
            if (due == 0) continue;
            rx->produce(block.data());
            out.submit(block.data(), kFrames);
        }
        return true;
    };
    if (!play_for(3.0)) return;
    for (int i = 0; i < retunes; ++i) {
        rx->tune(103.5e6);
        const double t = now_s();
        if (!play_for(1.0)) return;
        found.push_back(monitor.first_sound(t - 0.05, 1000, 5.0) - t);
        rx->tune(100.0e6);
        if (!play_for(1.5)) return;
    }
    std::sort(found.begin(), found.end());
    std::printf("latency from a retune to the first sound in the sink's monitor, %d retunes:",
                retunes);
    for (double s : found) std::printf(" %.0f", s * 1e3);
    std::printf(" ms; median %.0f ms\n", found[found.size() / 2] * 1e3);
    std::printf(
        "  (the sound server held %.0f ms at each block's request; the ring aims at %d "
        "samples, %.0f ms)\n",
        qvradio::PulseOutput::kMarginS * 1e3, Receiver::kStartFrames,
        Receiver::kStartFrames / (66e6 / 324) * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    bool with_latency = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--no-latency"))
            with_latency = false;
        else
            return std::fprintf(stderr, "usage: qv-radio-bench [--seconds S] [--no-latency]\n"), 2;
    }
    setenv("QV_VIRTUAL_SCENE", QV_BENCH_SCENE, 0);
    stereo_figures(seconds);
    cost("mono station", 101.2e6, false, seconds);
    cost("stereo, forced mono", 103.5e6, true, seconds);
    cost("stereo", 103.5e6, false, seconds);
    if (with_latency) latency(5);
    return 0;
}
