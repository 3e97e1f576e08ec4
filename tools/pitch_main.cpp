// qv-pitch: the pitch of a steady tone over time in a recorded WAV file.
//
//   qv-pitch --expect HZ [--window SEC] [--skip SEC] [--channel N]
//            [--from SEC] [--to SEC] FILE.wav
//
// Prints one line per window, "w START_S FREQ_HZ ERROR_PCT ERROR_PPM LEVEL_DBFS"
// ("-" for the frequency and errors of a window without the tone), then a
// summary of "name value" lines over the windows that start at least --skip
// seconds (default 5) after the first window with the tone:
// windows, gaps, first_tone_s, median_abs_error_pct, max_abs_error_pct,
// mean_error_pct (and the same three in ppm).
// Exit status 0 when at least one window was counted, 1 when none, 2 when the
// file cannot be read or the options are wrong.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pitch_measure.h"

namespace {

int usage(const char* argv0) {
    std::fprintf(stderr,
                 "usage: %s --expect HZ [--window SEC] [--skip SEC] [--channel N] [--from SEC] "
                 "[--to SEC] FILE.wav\n",
                 argv0);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    double expect = 0.0, window = 1.0, skip = 5.0, from_s = 0.0, to_s = -1.0;
    int channel = 0;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (!std::strcmp(argv[i], "--expect") && has_value) {
            expect = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--window") && has_value) {
            window = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--skip") && has_value) {
            skip = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--channel") && has_value) {
            channel = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--from") && has_value) {
            from_s = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--to") && has_value) {
            to_s = std::atof(argv[++i]);
        } else if (argv[i][0] != '-' && !path) {
            path = argv[i];
        } else {
            return usage(argv[0]);
        }
    }
    if (!path || !(expect > 0.0)) return usage(argv[0]);
    qvtools::Pcm pcm;
    if (int rc = qvtools::read_wav(path, pcm); rc != 0) {
        std::fprintf(stderr, "%s: %s\n", path,
                     rc == -2 ? "cannot open" : "not a 16-bit PCM WAV file");
        return 2;
    }
    const size_t frames = pcm.samples.size() / pcm.channels;
    const size_t first = std::min(frames, static_cast<size_t>(std::max(0.0, from_s) * pcm.rate_hz));
    const size_t last =
        to_s < 0 ? frames : std::min(frames, static_cast<size_t>(to_s * pcm.rate_hz));
    pcm.samples = std::vector<int16_t>(pcm.samples.begin() + first * pcm.channels,
                                       pcm.samples.begin() + std::max(first, last) * pcm.channels);
    std::vector<qvtools::PitchWindow> windows;
    if (qvtools::measure_pitch(pcm, channel, expect, window, windows) != 0) {
        std::fprintf(stderr, "%s: cannot measure channel %d with a %.3f s window around %.2f Hz\n",
                     path, channel, window, expect);
        return 2;
    }
    const double offset = double(first) / pcm.rate_hz;
    std::printf("# start_s frequency_hz error_pct error_ppm level_dbfs\n");
    for (const auto& w : windows) {
        if (w.tone)
            std::printf("w %.3f %.4f %+.4f %+.0f %.1f\n", w.start_s + offset, w.frequency_hz,
                        w.error_ppm * 1e-4, w.error_ppm, w.level_dbfs);
        else
            std::printf("w %.3f - - - %.1f\n", w.start_s + offset, w.level_dbfs);
    }
    for (auto& w : windows) w.start_s += offset;
    const qvtools::PitchSummary s = qvtools::summarise_pitch(windows, skip);
    std::printf(
        "expect_hz %.4f\nwindow_s %.3f\nskip_s %.3f\nfirst_tone_s %.3f\nwindows %d\ngaps %d\n",
        expect, window, skip, s.first_tone_s, s.windows, s.gaps);
    if (s.windows == 0) {
        std::fprintf(stderr, "%s: no window with a tone near %.2f Hz after the skip\n", path,
                     expect);
        return 1;
    }
    std::printf("median_abs_error_pct %.4f\nmax_abs_error_pct %.4f\nmean_error_pct %+.4f\n",
                s.median_abs_ppm * 1e-4, s.max_abs_ppm * 1e-4, s.mean_ppm * 1e-4);
    std::printf("median_abs_error_ppm %.0f\nmax_abs_error_ppm %.0f\nmean_error_ppm %+.0f\n",
                s.median_abs_ppm, s.max_abs_ppm, s.mean_ppm);
    return 0;
}
