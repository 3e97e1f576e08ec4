// qv-wav-measure: prints where the audio of a recording is, its dominant
// frequency, its levels and its SNR, one "name value" line each, and whether
// it plays the tones it should.
//
//   qv-wav-measure [--channel N] [--margin SEC] [--from SEC] [--to SEC] [--raw]
//                  [--tones F1,F2,... | --station MHZ [--scene FILE]]
//                  [--tolerance PCT] [--min-snr DB] [--window SEC] FILE
//
// --raw reads headerless 16-bit little-endian stereo PCM at 44.1 kHz (what the
// headless harness records; a file still being written is read up to its last
// whole frame) instead of a WAV file. --from and --to cut the recording to a
// stretch before the audio is looked for. --station takes the tones of the
// scene's station nearest that frequency (FILE, default the virtual board's
// built-in scene). With tones, the stretch must play them: its dominant
// frequency within --tolerance (default 1 %) of one of them and the tones
// --min-snr (default 10 dB) above the rest. --window looks for the first
// stretch of SEC seconds (stepping SEC/4) that does, and reports it; when none
// does it reports the one that came closest.
//
// Exit status 0 when a stretch of audio was measured (and plays the tones
// when tones are given), 1 when the file holds no audio, 2 when it or the
// scene cannot be read or the usage is wrong, 3 when the audio does not play
// the tones.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wav_measure.h"
#include "wav_measure_scene.h"

namespace {

constexpr const char* kUsage =
    "usage: qv-wav-measure [--channel N] [--margin SEC] [--from SEC] [--to SEC] [--raw]\n"
    "                      [--tones F1,F2,... | --station MHZ [--scene FILE]]\n"
    "                      [--tolerance PCT] [--min-snr DB] [--window SEC] FILE\n";

int usage(const char* problem) {
    if (problem) std::fprintf(stderr, "qv-wav-measure: %s\n", problem);
    std::fputs(kUsage, stderr);
    return 2;
}

// A finite number filling the whole text.
bool parse_number(const char* text, double& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && std::isfinite(out);
}

bool parse_tones(const char* text, std::vector<double>& out) {
    std::string list = text;
    size_t pos = 0;
    for (;;) {
        const size_t comma = list.find(',', pos);
        double f = 0;
        if (!parse_number(list.substr(pos, comma - pos).c_str(), f) || !(f > 0.0)) return false;
        out.push_back(f);
        if (comma == std::string::npos) return true;
        pos = comma + 1;
    }
}

// The scene reader echoes the text it does not take (the configuration
// language's rule: the blanks before a "=", for one) to standard output; this
// keeps it out of the report.
int station_tones_quietly(const std::string& scene, double mhz, qvtools::StationTones& st,
                          std::string& error) {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int sink = open("/dev/null", O_WRONLY);
    if (saved >= 0 && sink >= 0) dup2(sink, STDOUT_FILENO);
    const int rc = qvtools::station_tones(scene, mhz, st, error);
    std::fflush(stdout);
    if (saved >= 0 && sink >= 0) dup2(saved, STDOUT_FILENO);
    if (sink >= 0) close(sink);
    if (saved >= 0) close(saved);
    return rc;
}

std::string join(const std::vector<double>& v) {
    std::string s;
    char buf[32];
    for (double f : v) {
        std::snprintf(buf, sizeof buf, "%s%g", s.empty() ? "" : ",", f);
        s += buf;
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    double channel = 0, margin = 0.3, from_s = 0.0, to_s = -1.0, station_mhz = 0.0;
    double tolerance_pct = 1.0, min_snr_db = 10.0, window_s = 0.0;
    bool raw = false, have_station = false, have_scene = false;
    std::vector<double> tones;
    std::string scene;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "-h" || opt == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (opt == "--raw") {
            raw = true;
            continue;
        }
        if (opt.size() < 2 || opt[0] != '-') {
            if (path) return usage("more than one file given");
            path = argv[i];
            continue;
        }
        if (i + 1 >= argc) return usage((opt + " needs a value").c_str());
        const char* value = argv[++i];
        double* number = opt == "--channel"     ? &channel
                         : opt == "--margin"    ? &margin
                         : opt == "--from"      ? &from_s
                         : opt == "--to"        ? &to_s
                         : opt == "--station"   ? &station_mhz
                         : opt == "--tolerance" ? &tolerance_pct
                         : opt == "--min-snr"   ? &min_snr_db
                         : opt == "--window"    ? &window_s
                                                : nullptr;
        if (number) {
            if (!parse_number(value, *number)) return usage((opt + " takes a number").c_str());
            have_station |= opt == "--station";
        } else if (opt == "--tones") {
            if (!parse_tones(value, tones))
                return usage("--tones takes frequencies above 0 Hz, comma-separated");
        } else if (opt == "--scene") {
            scene = value;
            have_scene = true;
        } else {
            return usage(("unknown option " + opt).c_str());
        }
    }
    if (!path) return usage("no file given");
    if (channel < 0 || channel != std::floor(channel)) return usage("--channel takes 0, 1, ...");
    if (margin < 0 || from_s < 0 || tolerance_pct < 0)
        return usage("--margin, --from and --tolerance take numbers >= 0");
    if (window_s < 0 || (to_s >= 0 && to_s <= from_s))
        return usage("--window takes seconds > 0, --to a time after --from");
    if (have_station && !tones.empty()) return usage("--tones and --station exclude each other");
    if (have_scene && !have_station) return usage("--scene needs --station");
    if (window_s > 0 && tones.empty() && !have_station)
        return usage("--window needs --tones or --station");

    if (have_station) {
        qvtools::StationTones st;
        std::string error;
        if (station_tones_quietly(scene, station_mhz, st, error) != 0) {
            std::fprintf(stderr, "qv-wav-measure: %s\n", error.c_str());
            return 2;
        }
        if (st.tones_hz.empty()) {
            std::fprintf(stderr,
                         "qv-wav-measure: station %s at %.4g MHz plays no tones to check%s\n",
                         st.name.c_str(), st.freq_mhz, st.has_wav ? " (only a WAV file)" : "");
            return 2;
        }
        tones = st.tones_hz;
        std::printf("station_mhz %.4f\nstation_name %s\n", st.freq_mhz, st.name.c_str());
    }
    if (!tones.empty()) std::printf("tones_hz %s\n", join(tones).c_str());

    qvtools::Pcm pcm;
    const int rc = raw ? qvtools::read_raw(path, 44100, 2, pcm) : qvtools::read_wav(path, pcm);
    if (rc != 0) {
        std::fprintf(stderr, "%s: %s\n", path,
                     rc == -2 ? "cannot open" : "not a 16-bit PCM WAV file");
        return 2;
    }
    if (channel >= pcm.channels) {
        std::fprintf(stderr, "%s: has no channel %d (%d channels)\n", path, int(channel),
                     pcm.channels);
        return 2;
    }
    const size_t frames = pcm.samples.size() / pcm.channels;
    const size_t first = std::min(frames, static_cast<size_t>(from_s * pcm.rate_hz));
    const size_t last =
        to_s < 0 ? frames : std::min(frames, static_cast<size_t>(to_s * pcm.rate_hz));
    if (last <= first) {
        std::fprintf(stderr, "%s: no audio on channel %d: the recording ends at %.3f s\n", path,
                     int(channel), double(frames) / pcm.rate_hz);
        return 1;
    }
    pcm.samples = std::vector<int16_t>(pcm.samples.begin() + first * pcm.channels,
                                       pcm.samples.begin() + last * pcm.channels);
    const double tolerance = tolerance_pct / 100.0;
    qvtools::ToneReport r;
    bool present = true;
    if (window_s > 0) {
        const int found =
            qvtools::find_tones(pcm, int(channel), tones, window_s, tolerance, min_snr_db, r);
        if (found == -22) {
            std::fprintf(stderr, "%s: no %.3f s window (at least 0.4 s) in the stretch of %.3f s\n",
                         path, window_s, double(last - first) / pcm.rate_hz);
            return 1;
        }
        if (found == -62) {
            std::fprintf(stderr, "%s: no audio on channel %d\n", path, int(channel));
            return 1;
        }
        present = found == 0;
    } else {
        if (qvtools::measure_tone(pcm, int(channel), tones, margin, r) != 0) {
            std::fprintf(stderr, "%s: no audio on channel %d\n", path, int(channel));
            return 1;
        }
        present = tones.empty() || qvtools::tones_present(r, tones, tolerance, min_snr_db);
    }
    r.start_s += double(first) / pcm.rate_hz;
    std::printf(
        "start_s %.3f\nseconds %.3f\nfrequency_hz %.2f\nrms_dbfs %.2f\npeak_dbfs %.2f\n"
        "tone_dbfs %.2f\nsnr_db %.1f\n",
        r.start_s, r.seconds, r.frequency_hz, r.rms_dbfs, r.peak_dbfs, r.tone_dbfs, r.snr_db);
    if (!tones.empty()) std::printf("tones_present %d\n", present ? 1 : 0);
    return present ? 0 : 3;
}
