// qv-wav-measure: prints where the audio of a recorded WAV file is, its
// dominant frequency, its level and its SNR, one "name value" line each.
//
//   qv-wav-measure [--channel N] [--margin SEC] [--from SEC] [--to SEC]
//                  [--tones F1,F2,...] FILE.wav
//
// --from and --to cut the recording to a stretch before the audio is looked for.
// Exit status 0 when a stretch of audio was measured, 1 when the file holds
// no audio, 2 when it cannot be read.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wav_measure.h"

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int channel = 0;
    double margin = 0.3;
    double from_s = 0.0;
    double to_s = -1.0;
    std::vector<double> tones;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--channel") && i + 1 < argc) {
            channel = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--margin") && i + 1 < argc) {
            margin = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--from") && i + 1 < argc) {
            from_s = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--to") && i + 1 < argc) {
            to_s = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--tones") && i + 1 < argc) {
            for (char* p = argv[++i]; *p;) {
                char* end = nullptr;
                tones.push_back(std::strtod(p, &end));
                if (end == p) break;
                p = (*end == ',') ? end + 1 : end;
            }
        } else if (argv[i][0] != '-' && !path) {
            path = argv[i];
        } else {
            std::fprintf(stderr, "usage: %s [--channel N] [--margin SEC] [--from SEC] [--to SEC] [--tones F1,F2,...] FILE.wav\n", argv[0]);
            return 2;
        }
    }
    if (!path) {
        std::fprintf(stderr, "usage: %s [--channel N] [--margin SEC] [--from SEC] [--to SEC] [--tones F1,F2,...] FILE.wav\n", argv[0]);
        return 2;
    }
    qvtools::Pcm pcm;
    if (int rc = qvtools::read_wav(path, pcm); rc != 0) {
        std::fprintf(stderr, "%s: %s\n", path, rc == -2 ? "cannot open" : "not a 16-bit PCM WAV file");
        return 2;
    }
    const size_t frames = pcm.samples.size() / pcm.channels;
    const size_t first = std::min(frames, static_cast<size_t>(std::max(0.0, from_s) * pcm.rate_hz));
    const size_t last = to_s < 0 ? frames : std::min(frames, static_cast<size_t>(to_s * pcm.rate_hz));
    if (last <= first) {
        std::fprintf(stderr, "%s: empty stretch %.3f..%.3f s\n", path, from_s, to_s);
        return 1;
    }
    pcm.samples = std::vector<int16_t>(pcm.samples.begin() + first * pcm.channels,
                                       pcm.samples.begin() + last * pcm.channels);
    qvtools::ToneReport r;
    if (qvtools::measure_tone(pcm, channel, tones, margin, r) != 0) {
        std::fprintf(stderr, "%s: no audio on channel %d\n", path, channel);
        return 1;
    }
    r.start_s += double(first) / pcm.rate_hz;
    std::printf("start_s %.3f\nseconds %.3f\nfrequency_hz %.2f\nrms_dbfs %.2f\npeak_dbfs %.2f\nsnr_db %.1f\n",
                r.start_s, r.seconds, r.frequency_hz, r.rms_dbfs, r.peak_dbfs, r.snr_db);
    return 0;
}
