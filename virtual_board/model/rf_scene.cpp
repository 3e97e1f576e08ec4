#include "rf_scene.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include "config_reader.h"

namespace qv01model {

// ------------------------------------------------------------------ WAV file

namespace {

uint32_t le32(const unsigned char* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint16_t le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }

}  // namespace

int load_wav(const std::string& path, WavData& out, std::string& error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        error = "WAV file " + path + " cannot be opened";
        return -2;
    }
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    auto bad = [&](const char* why) {
        error = "WAV file " + path + ": " + why;
        return -22;
    };
    if (n < 12 || std::memcmp(b, "RIFF", 4) != 0 || std::memcmp(b + 8, "WAVE", 4) != 0) return bad("not a RIFF/WAVE file");
    int channels = 0, bits = 0;
    uint32_t rate = 0;
    const unsigned char* data = nullptr;
    size_t data_len = 0;
    for (size_t pos = 12; pos + 8 <= n;) {
        const uint32_t len = le32(b + pos + 4);
        const size_t body = pos + 8;
        const size_t avail = std::min<size_t>(len, n - body);
        if (std::memcmp(b + pos, "fmt ", 4) == 0 && avail >= 16) {
            if (le16(b + body) != 1) return bad("only PCM is supported");
            channels = le16(b + body + 2);
            rate = le32(b + body + 4);
            bits = le16(b + body + 14);
        } else if (std::memcmp(b + pos, "data", 4) == 0) {
            data = b + body;
            data_len = avail;
        }
        pos = body + len + (len & 1);
    }
    if (channels == 0) return bad("no fmt chunk");
    if (bits != 16 || (channels != 1 && channels != 2)) return bad("only 16-bit mono or stereo is supported");
    if (rate < 8000 || rate > 192000) return bad("sample rate outside 8000..192000 Hz");
    const size_t frames = data ? data_len / size_t(2 * channels) : 0;
    if (frames < 2) return bad("no audio data");
    out.rate_hz = rate;
    out.left.resize(frames);
    out.right.resize(frames);
    for (size_t i = 0; i < frames; ++i) {
        const unsigned char* p = data + i * size_t(2 * channels);
        out.left[i] = float(int16_t(le16(p))) / 32768.0f;
        out.right[i] = channels == 2 ? float(int16_t(le16(p + 2))) / 32768.0f : out.left[i];
    }
    return 0;
}

// ------------------------------------------------------------- default scene

RfScene default_scene() {
    RfScene sc;
    sc.noise_dbfs = -80.0;
    auto station = [&](const char* name, double mhz, double level) -> StationSpec& {
        StationSpec s;
        s.name = name;
        s.freq_hz = mhz * 1e6;
        s.level_dbfs = level;
        sc.stations.push_back(s);
        return sc.stations.back();
    };
    // Rising C major arpeggio.
    StationSpec& a = station("ARPEGGIO", 100.9, -20.0);
    a.audio.melody_hz = {523.25, 659.26, 783.99, 1046.50};
    a.audio.note_ms = 300.0;
    a.audio.melody_level = 0.35;
    // A steady open fifth, A4 and E5.
    StationSpec& b = station("FIFTH", 101.2, -30.0);
    b.audio.tones = {{440.0, 0.22, Side::Both}, {659.26, 0.22, Side::Both}};
    // Stereo with pilot: G4 on the left, D5 on the right.
    StationSpec& c = station("STEREO", 103.5, -25.0);
    c.pilot = true;
    c.stereo = true;
    c.audio.tones = {{392.0, 0.4, Side::Left}, {587.33, 0.4, Side::Right}};
    // Pentatonic walk D4 E4 G4 A4 B4 A4 G4 E4, 200 kHz above the stereo station.
    StationSpec& d = station("PENTATONIC", 103.7, -28.0);
    d.audio.melody_hz = {293.66, 329.63, 392.00, 440.00, 493.88, 440.00, 392.00, 329.63};
    d.audio.note_ms = 250.0;
    d.audio.melody_level = 0.4;
    // Slow descending bells E5 D5 C5 and a rest; the weakest station.
    StationSpec& e = station("BELLS", 105.7, -45.0);
    e.audio.melody_hz = {659.26, 587.33, 523.25, 0.0};
    e.audio.note_ms = 500.0;
    e.audio.melody_level = 0.45;
    // C major triad; the strongest station.
    StationSpec& f = station("TRIAD", 106.2, -15.0);
    f.audio.tones = {{261.63, 0.2, Side::Both}, {329.63, 0.2, Side::Both}, {392.00, 0.2, Side::Both}};
    return sc;
}

// ---------------------------------------------------------------- scene file

namespace {

const std::set<std::string> kStationKeys = {
    "freq_mhz", "freq_hz", "level_dbfs", "deviation_hz", "preemphasis_us", "pilot", "stereo",
    "offset_hz", "drift_hz_per_s", "tones_hz", "left_tones_hz", "right_tones_hz", "tone_level",
    "melody_hz", "note_ms", "melody_level", "wav_file", "wav_level"};
const std::set<std::string> kSceneKeys = {"noise_dbfs"};

std::string strip_quotes(const std::string& v) {
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
    return v;
}

bool parse_double(const std::string& text, double& out) {
    const std::string t = strip_quotes(text);
    if (t.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || errno == ERANGE || !std::isfinite(v)) return false;
    out = v;
    return true;
}

// "440/660/0": numbers separated by '/' (the configuration language has no lists).
bool parse_list(const std::string& text, std::vector<double>& out) {
    out.clear();
    const std::string t = strip_quotes(text);
    size_t start = 0;
    while (true) {
        const size_t slash = t.find('/', start);
        double v = 0.0;
        if (!parse_double(t.substr(start, slash == std::string::npos ? std::string::npos : slash - start), v)) return false;
        out.push_back(v);
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

class SceneParser {
public:
    SceneParser(const std::string& path, std::string& error) : path_(path), error_(error) {}

    int fail(const std::string& key, const std::string& what) {
        error_ = "scene file " + path_ + ": key " + key + ": " + what;
        return -22;
    }

    int number(const config_reader_& r, const std::string& sec, const char* name, double& out, double lo, double hi) {
        std::string text;
        if (!r.get_string(name, text)) return 0;  // absent: keep the default
        double v = 0.0;
        if (!parse_double(text, v)) return fail(sec + "." + name, "\"" + text + "\" is not a number");
        if (v < lo || v > hi) {
            char buf[128];
            std::snprintf(buf, sizeof buf, "%g is outside %g .. %g", v, lo, hi);
            return fail(sec + "." + name, buf);
        }
        out = v;
        return 0;
    }

    int flag(const config_reader_& r, const std::string& sec, const char* name, bool& out) {
        double v = out ? 1.0 : 0.0;
        if (int e = number(r, sec, name, v, 0.0, 1.0)) return e;
        if (v != 0.0 && v != 1.0) return fail(sec + "." + name, "must be 0 or 1");
        out = v != 0.0;
        return 0;
    }

    int tones(const config_reader_& r, const std::string& sec, const char* name, Side side, double level,
              std::vector<ToneSpec>& out) {
        std::string text;
        if (!r.get_string(name, text)) return 0;
        std::vector<double> f;
        if (!parse_list(text, f)) return fail(sec + "." + name, "\"" + text + "\" is not a list of numbers such as 440/660");
        for (double hz : f) {
            if (hz <= 0.0 || hz > 20000.0) return fail(sec + "." + name, "tone frequencies must lie in 0 .. 20000 Hz");
            out.push_back(ToneSpec{hz, level, side});
        }
        return 0;
    }

    int station(config_reader_& r, const std::string& sec, const std::string& dir, StationSpec& s) {
        r.set_section(sec);
        s.name = sec;
        double mhz = 0.0;
        std::string text;
        if (r.get_string("freq_mhz", text)) {
            if (int e = number(r, sec, "freq_mhz", mhz, 1e-6, 1e5)) return e;
            s.freq_hz = mhz * 1e6;
        } else if (r.get_string("freq_hz", text)) {
            if (int e = number(r, sec, "freq_hz", s.freq_hz, 1.0, 1e11)) return e;
        } else {
            return fail(sec + ".freq_mhz", "missing (each station needs freq_mhz or freq_hz)");
        }
        int e = 0;
        if ((e = number(r, sec, "level_dbfs", s.level_dbfs, -200.0, 0.0)) ||
            (e = number(r, sec, "deviation_hz", s.deviation_hz, 0.0, 500000.0)) ||
            (e = number(r, sec, "preemphasis_us", s.preemphasis_us, 0.0, 1000.0)) ||
            (e = flag(r, sec, "pilot", s.pilot)) || (e = flag(r, sec, "stereo", s.stereo)) ||
            (e = number(r, sec, "offset_hz", s.offset_hz, -1e7, 1e7)) ||
            (e = number(r, sec, "drift_hz_per_s", s.drift_hz_per_s, -1e6, 1e6)))
            return e;
        double tone_level = 0.3;
        if ((e = number(r, sec, "tone_level", tone_level, 0.0, 1.0)) ||
            (e = tones(r, sec, "tones_hz", Side::Both, tone_level, s.audio.tones)) ||
            (e = tones(r, sec, "left_tones_hz", Side::Left, tone_level, s.audio.tones)) ||
            (e = tones(r, sec, "right_tones_hz", Side::Right, tone_level, s.audio.tones)))
            return e;
        if (r.get_string("melody_hz", text)) {
            if (!parse_list(text, s.audio.melody_hz))
                return fail(sec + ".melody_hz", "\"" + text + "\" is not a list of numbers such as 523/659/0");
            for (double hz : s.audio.melody_hz) {
                if (hz < 0.0 || hz > 20000.0) return fail(sec + ".melody_hz", "notes must lie in 0 .. 20000 Hz (0 is a rest)");
            }
        }
        if ((e = number(r, sec, "note_ms", s.audio.note_ms, 1.0, 1e6)) ||
            (e = number(r, sec, "melody_level", s.audio.melody_level, 0.0, 1.0)) ||
            (e = number(r, sec, "wav_level", s.audio.wav_level, 0.0, 1.0)))
            return e;
        if (r.get_string("wav_file", text)) {
            s.audio.wav_path = strip_quotes(text);
            std::string full = s.audio.wav_path;
            if (!full.empty() && full[0] != '/') full = dir + "/" + full;
            auto wav = std::make_shared<WavData>();
            std::string why;
            if (load_wav(full, *wav, why) != 0) return fail(sec + ".wav_file", why);
            s.audio.wav = std::move(wav);
        }
        return 0;
    }

    int run(RfScene& out) {
        {
            std::ifstream probe(path_);
            if (!probe) {
                error_ = "scene file " + path_ + " cannot be opened";
                return -2;
            }
        }
        config_reader_ r;
        r.load(path_);
        const size_t slash = path_.find_last_of("/\\");
        const std::string dir = slash == std::string::npos ? "." : path_.substr(0, slash);
        // Every key must belong to [SCENE] or to a station section: a
        // misspelt key is an error rather than a silently ignored line.
        std::vector<std::string> sections;
        std::set<std::string> seen;
        for (const auto& kv : r.values()) {
            const size_t dot = kv.first.rfind('.');
            if (dot == std::string::npos) return fail(kv.first, "is outside any section");
            const std::string sec = kv.first.substr(0, dot), key = kv.first.substr(dot + 1);
            const auto& known = sec == "SCENE" ? kSceneKeys : kStationKeys;
            if (!known.count(key)) return fail(kv.first, "unknown key");
            if (sec != "SCENE" && seen.insert(sec).second) sections.push_back(sec);
        }
        RfScene sc;
        r.set_section("SCENE");
        if (int e = number(r, "SCENE", "noise_dbfs", sc.noise_dbfs, -300.0, 0.0)) return e;
        for (const std::string& sec : sections) {
            StationSpec s;
            if (int e = station(r, sec, dir, s)) return e;
            sc.stations.push_back(std::move(s));
        }
        if (sc.stations.empty()) {
            error_ = "scene file " + path_ + ": no station sections";
            return -22;
        }
        out = std::move(sc);
        return 0;
    }

private:
    std::string path_;
    std::string& error_;
};

}  // namespace

int load_scene(const std::string& path, RfScene& out, std::string& error) {
    return SceneParser(path, error).run(out);
}

}  // namespace qv01model
