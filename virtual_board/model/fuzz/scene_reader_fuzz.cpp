// libFuzzer target for the scene reader: each input is read as a scene file
// from a private directory that also holds a good WAV file (ok.wav), a
// directory (adir), a FIFO (fifo), a link to /dev/zero (zero), a WAV file
// over the size limit (big.wav) and a file to include (inc.ini), so that
// wav_file and directive values can reach each kind.
//
// Checks beyond "no crash, no leak, no UB, no hang": the reader never throws;
// the scanner's notes are at most 21 lines; a refusal has one message
// beginning "scene file " that names the line whenever it names a key, and
// leaves the scene alone; an accepted scene
// holds 1 to 64 stations with every value within its stated range; the
// real-time estimate is finite and its check answers 0 or -22.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "rf_scene.h"

namespace {

std::string g_dir;

void put(const std::string& name, const std::string& bytes) {
    std::FILE* f = std::fopen((g_dir + "/" + name).c_str(), "wb");
    if (f == nullptr) std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string wav_bytes() {
    std::string d;
    auto put16 = [&](int v) {
        d += char(v & 0xFF);
        d += char((v >> 8) & 0xFF);
    };
    auto put32 = [&](uint32_t v) {
        put16(int(v & 0xFFFF));
        put16(int(v >> 16));
    };
    const int frames = 64;
    d += "RIFF";
    put32(uint32_t(36 + 2 * frames));
    d += "WAVE";
    d += "fmt ";
    put32(16);
    put16(1);
    put16(1);
    put32(8000);
    put32(16000);
    put16(2);
    put16(16);
    d += "data";
    put32(uint32_t(2 * frames));
    for (int i = 0; i < frames; ++i) put16((i * 997) & 0x7FFF);
    return d;
}

bool within(double v, double lo, double hi) { return std::isfinite(v) && v >= lo && v <= hi; }

bool station_ok(const qv01model::StationSpec& s) {
    const qv01model::AudioSpec& a = s.audio;
    if (!within(s.freq_hz, 1e3, 1e9) || !within(s.level_dbfs, -200.0, 0.0) ||
        !within(s.deviation_hz, 0.0, 2e5) || !within(s.preemphasis_us, 0.0, 1000.0) ||
        !within(s.offset_hz, -1e6, 1e6) || !within(s.drift_hz_per_s, -1e4, 1e4) ||
        a.tones.size() > 3 * qv01model::kMaxTonesPerList ||
        a.melody_hz.size() > qv01model::kMaxMelodyNotes || !within(a.note_ms, 1.0, 60000.0) ||
        !within(a.melody_level, 0.0, 1.0) || !within(a.wav_level, 0.0, 1.0) ||
        a.wav_path.empty() != !a.wav)
        return false;
    for (const auto& t : a.tones)
        if (!within(t.freq_hz, 0.0, 20000.0) || t.freq_hz == 0.0 || !within(t.level, 0.0, 1.0))
            return false;
    for (double f : a.melody_hz)
        if (!within(f, 0.0, 20000.0)) return false;
    return !a.wav || a.wav->left.size() >= 2;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/qv_scene_fuzz_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    g_dir = tmpl;
    put("ok.wav", wav_bytes());
    put("inc.ini", "[INC]\nfreq_mhz = 99.9\ntones_hz = 1000\n");
    put("big.wav", wav_bytes());
    if (truncate((g_dir + "/big.wav").c_str(), off_t(qv01model::kMaxWavBytes) + 1) != 0)
        std::abort();
    if (mkdir((g_dir + "/adir").c_str(), 0700) != 0 ||
        mkfifo((g_dir + "/fifo").c_str(), 0600) != 0 ||
        symlink("/dev/zero", (g_dir + "/zero").c_str()) != 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = g_dir + "/scene.ini";
    put("scene.ini", std::string(reinterpret_cast<const char*>(data), size));

    qv01model::RfScene scene;
    scene.noise_dbfs = 1.0;  // a refusal leaves it
    std::string error;
    std::vector<std::string> notes;
    const int rc = qv01model::load_scene(path, scene, error, &notes);
    if (rc > 0 || notes.size() > 21) std::abort();
    if (rc != 0) {
        if (error.rfind("scene file ", 0) != 0 || scene.noise_dbfs != 1.0 ||
            !scene.stations.empty())
            std::abort();
        // A key named without its line: the reader and the scanner disagree
        // about where it was assigned.
        if (error.find(", line ?") != std::string::npos) std::abort();
        return 0;
    }
    if (!error.empty() || scene.stations.empty() ||
        scene.stations.size() > qv01model::kMaxStations || !within(scene.noise_dbfs, -300.0, 0.0))
        std::abort();
    for (const auto& s : scene.stations)
        if (!station_ok(s)) std::abort();
    const double share = qv01model::scene_cpu_share(scene, 66e6);
    std::string warning;
    const int rt = qv01model::check_scene_real_time(scene, 66e6, "fuzz", error, &warning);
    if (!std::isfinite(share) || share <= 0.0 || (rt != 0 && rt != -22) ||
        (rt != 0) == error.empty())
        std::abort();
    return 0;
}
