#include "radio_app.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "band_scan.h"
#include "health_line.h"
#include "program_info.h"
#include "pulse_output.h"
#include "receiver.h"
#include "wav_writer.h"

namespace qvradio {
namespace {

constexpr double kStreamTimeoutS = 5.0;  // from the start to the first samples
constexpr int kWaitMs = 100;             // the longest the loop is deaf to Ctrl-C
constexpr int kAudioRate = 44100;

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool stopping(const AppIo& io) { return io.stop != nullptr && io.stop->load(); }

void say(const AppIo& io, const std::string& text) {
    std::fprintf(io.err, "qv-radio: %s\n", text.c_str());
    std::fflush(io.err);
}

// The configuration runs in the working directory its file names need; the
// process's own is back afterwards.
class WorkingDirectory {
  public:
    explicit WorkingDirectory(const std::string& dir) {
        char buf[PATH_MAX];
        if (getcwd(buf, sizeof buf) != nullptr) saved_ = buf;
        if (!saved_.empty() && !dir.empty() && chdir(dir.c_str()) != 0) saved_.clear();
    }
    ~WorkingDirectory() {
        if (!saved_.empty() && chdir(saved_.c_str()) != 0) {
            // Nothing after this uses a relative path.
        }
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    std::string saved_;
};

ReceiverSettings settings_of(const Options& o, const ConfigChoice& config,
                             const SearchPlaces& places) {
    ReceiverSettings s;
    s.firmware = o.firmware.empty() ? find_firmware(places) : o.firmware;
    s.config = config.path;
    s.frequency_hz = o.frequency_hz;
    s.afc = o.afc;
    s.mono = o.mono;
    s.deemphasis_us = o.deemphasis_us;
    return s;
}

ConfigChoice config_of(const Options& o, const SearchPlaces& places) {
    return o.config.empty() ? find_config(places) : given_config(o.config, places);
}

// Opens the board and starts the receiver in the configuration's working
// directory; says why not.
int open_receiver(Receiver& rx, const ConfigChoice& config, const AppIo& io) {
    std::string error, warning;
    int rc;
    {
        WorkingDirectory in(config.working_dir);
        rc = rx.open(&error, &warning);
    }
    if (rc < 0) {
        say(io, error);
        return rc;
    }
    if (!warning.empty()) say(io, "warning: " + warning);
    if ((rc = rx.wait_for_stream(kStreamTimeoutS, &error)) < 0) say(io, error);
    return rc;
}

void show_health(Receiver& rx, const AppIo& io, const Options& o, double done_s, bool last) {
    std::string line = health_line(rx.health());
    if (io.err_is_terminal) {
        if (o.seconds > 0) line += "  " + progress_bar(done_s, o.seconds);
        std::fprintf(io.err, "\r%s\033[K%s", line.c_str(), last ? "\n" : "");
    } else {
        std::fprintf(io.err, "%s\n", line.c_str());
    }
    std::fflush(io.err);
}

}  // namespace

int radio_main(int argc, const char* const* argv, const AppIo& io) {
    Options o;
    std::string error;
    if (parse_options(argc, argv, &o, &error) != 0) {
        std::fprintf(io.err, "qv-radio: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    switch (o.action) {
        case Options::Action::help:
            std::fprintf(io.out, "%s\n%s", kUsage, kHelp);
            return kExitOk;
        case Options::Action::version:
            std::fprintf(io.out, "qv-radio %s\n", qv::version_text());
            return kExitOk;
        case Options::Action::scan:
            return run_scan(o, io);
        case Options::Action::run:
            break;
    }
    return run_radio(o, io);
}

int run_radio(const Options& o, const AppIo& io) {
    // The files first: nothing touches the board for a run that cannot record.
    WavWriter audio, iq;
    int iq_error = 0;  // the first failed write of the I/Q recording
    std::string error;
    if (o.output == "-")
        audio.open_raw(io.raw_fd, 2);
    else if (!o.output.empty() && audio.open(o.output, 2, kAudioRate, &error) < 0)
        return say(io, error), kExitFailure;

    PulseOutput pulse;
    SteadyClock steady(radio_dsp::kAudioFrames);
    if (o.play) {
        char name[64];
        std::snprintf(name, sizeof name, "FM %.2f MHz", o.frequency_hz / 1e6);
        if (pulse.open(name, radio_dsp::kAudioFrames, &error) < 0) {
            audio.discard();
            return say(io, error), kExitFailure;
        }
    }
    AudioClock& clock = o.play ? static_cast<AudioClock&>(pulse) : steady;

    const ConfigChoice config = config_of(o, io.places);
    auto rx = std::make_unique<Receiver>(settings_of(o, config, io.places));
    if (open_receiver(*rx, config, io) < 0) {
        audio.discard();
        return kExitFailure;
    }
    if (!o.iq_output.empty()) {
        const int rate = static_cast<int>(std::lround(rx->input_rate_hz()));
        if (iq.open(o.iq_output, 2, rate, &error) < 0) {
            audio.discard();
            return say(io, error), kExitFailure;
        }
        rx->set_iq_tap([&iq, &iq_error](const unsigned char* frames, int bytes) {
            if (iq_error == 0)
                iq_error = iq.write(reinterpret_cast<const int16_t*>(frames), bytes / 4);
        });
    }

    // The audio runs, each when the output wants its block.
    const int64_t limit = o.seconds > 0 ? std::llround(o.seconds * kAudioRate) : -1;
    int64_t done = 0;
    int rc = kExitOk;
    bool quiet_end = false;  // Ctrl-C: no draining of the sound output
    std::vector<int16_t> block(2 * radio_dsp::kAudioFrames);
    double next_health = now_s() + io.health_interval_s;
    while (limit < 0 || done < limit) {
        if (stopping(io)) {
            quiet_end = true;
            break;
        }
        if (iq_error < 0) {
            say(io,
                std::string("Cannot write the I/Q recording: ") + std::strerror(-iq_error) + ".");
            rc = kExitFailure;
            break;
        }
        if (rx->board_lost()) {
            say(io, Receiver::kBoardGone);
            rc = kExitFailure;
            break;
        }
        const int due = clock.wait_due(kWaitMs);
        if (due < 0) {
            say(io, clock.error());
            rc = kExitFailure;
            break;
        }
        if (due > 0) {
            rx->produce(block.data());
            const int n = static_cast<int>(
                limit < 0 ? radio_dsp::kAudioFrames
                          : std::min<int64_t>(radio_dsp::kAudioFrames, limit - done));
            if (audio.is_open()) {
                const int w = audio.write(block.data(), n);
                if (w == -EPIPE) {
                    quiet_end = true;  // the reader of the pipe is done
                    break;
                }
                if (w < 0) {
                    say(io, std::string("Cannot write the recording: ") + std::strerror(-w) + ".");
                    rc = kExitFailure;
                    break;
                }
            }
            clock.submit(block.data(), radio_dsp::kAudioFrames);
            done += n;
        }
        if (!o.quiet && now_s() >= next_health) {
            show_health(*rx, io, o, double(done) / kAudioRate, false);
            next_health += io.health_interval_s;
        }
    }
    if (!o.quiet && io.err_is_terminal) show_health(*rx, io, o, double(done) / kAudioRate, true);

    // In order: the recordings' headers, the receiver, the board, the sound
    // (after a failure already said, only that one line).
    rx->set_iq_tap(nullptr);
    if (int f = audio.finish(); f < 0 && rc == kExitOk) {
        say(io, std::string("Cannot finish the recording: ") + std::strerror(-f) + ".");
        rc = kExitFailure;
    }
    if (int f = iq.finish(); f < 0 && rc == kExitOk) {
        say(io, std::string("Cannot finish the I/Q recording: ") + std::strerror(-f) + ".");
        rc = kExitFailure;
    }
    rx->stop();
    rx.reset();
    pulse.close(!quiet_end && rc == kExitOk);
    return rc;
}

int run_scan(const Options& o, const AppIo& io) {
    const std::vector<double> folds =
        folds_within(o.scan_from_hz, o.scan_to_hz, radio_dsp::kQv01NcoClockHz);
    for (double f : folds) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "warning: the range crosses %.3f MHz, where the ADC folds the band: f and "
                      "%.3f MHz - f land on the same tuning, so a carrier may show twice.",
                      f / 1e6, 2 * f / 1e6);
        say(io, text);
    }
    Options rx_options = o;
    rx_options.frequency_hz = o.scan_from_hz;
    rx_options.afc = false;
    const ConfigChoice config = config_of(o, io.places);
    Receiver rx(settings_of(rx_options, config, io.places));
    if (open_receiver(rx, config, io) < 0) return kExitFailure;

    std::vector<ScanStep> steps;
    std::string error;
    auto progress = [&](double f) {
        if (o.quiet || !io.err_is_terminal) return;
        std::fprintf(io.err, "\rscanning %.3f MHz\033[K", f / 1e6);
        std::fflush(io.err);
    };
    const int rc = scan_band(
        rx, o.scan_from_hz, o.scan_to_hz, o.scan_step_hz, &steps, progress,
        [&io] { return stopping(io); }, &error);
    if (!o.quiet && io.err_is_terminal) std::fprintf(io.err, "\r\033[K");
    rx.stop();
    if (rc < 0) {
        say(io, error);
        return kExitFailure;
    }
    const std::vector<Carrier> carriers = find_carriers(steps, o.scan_step_hz);
    std::fprintf(io.out, "%-14s %11s %11s  %s\n", "frequency", "level", "offset", "stereo");
    for (const Carrier& c : carriers)
        std::fprintf(io.out, "%10.4f MHz %6.1f dBFS %+7.1f kHz  %s\n", c.frequency_hz / 1e6,
                     c.level_dbfs, c.offset_hz / 1e3, c.stereo ? "yes" : "no");
    std::fprintf(io.out, "%zu carriers, %zu steps from %.4f to %.4f MHz\n", carriers.size(),
                 steps.size(), o.scan_from_hz / 1e6, o.scan_to_hz / 1e6);
    std::fflush(io.out);
    return kExitOk;
}

}  // namespace qvradio
