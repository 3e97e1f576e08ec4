#include "rf_scene.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "config_reader.h"

namespace qv01model {

// ------------------------------------------------------------------ WAV file

namespace {

uint32_t le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }

// The whole file, if it is a regular file of at most max_bytes: never waits
// for a FIFO's writer, never reads past the size found. 0 or a negative error
// number of qvcfg::open_regular_file, -EIO when reading fails.
int read_regular_file(const std::string& path, size_t max_bytes, std::string& out) {
    qvcfg::FilePtr f;
    struct stat st {};
    if (const int rc = qvcfg::open_regular_file(path, max_bytes, f, st)) return rc;
    out.resize(size_t(st.st_size));
    out.resize(std::fread(&out[0], 1, out.size(), f.get()));
    return std::ferror(f.get()) ? -EIO : 0;
}

int load_wav_unguarded(const std::string& path, WavData& out, std::string& error,
                       size_t max_bytes) {
    const std::string shown = qvcfg::absolute_path(path);
    std::string bytes;
    if (const int rc = read_regular_file(path, max_bytes, bytes)) {
        error = "WAV file " + shown + " " + qvcfg::file_error_text(rc, max_bytes);
        return rc;
    }
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    auto bad = [&](const std::string& why) {
        error = "WAV file " + shown + ": " + why;
        return -EINVAL;
    };
    if (n < 12 || std::memcmp(b, "RIFF", 4) != 0 || std::memcmp(b + 8, "WAVE", 4) != 0)
        return bad("not a RIFF/WAVE file");
    int format = -1, channels = 0, bits = 0, align = 0;
    uint32_t rate = 0;
    const unsigned char* data = nullptr;
    size_t data_len = 0;
    for (size_t pos = 12; pos + 8 <= n;) {
        const size_t len = le32(b + pos + 4);
        const size_t body = pos + 8;
        if (len > n - body) {
            return bad(std::string("its \"") + std::string(bytes, pos, 4) +
                       "\" chunk runs past the end of the file (" + std::to_string(len) +
                       " bytes announced, " + std::to_string(n - body) + " there)");
        }
        if (std::memcmp(b + pos, "fmt ", 4) == 0) {
            if (len < 16) return bad("its fmt chunk is shorter than 16 bytes");
            format = le16(b + body);
            channels = le16(b + body + 2);
            rate = le32(b + body + 4);
            align = le16(b + body + 12);
            bits = le16(b + body + 14);
        } else if (std::memcmp(b + pos, "data", 4) == 0 && !data) {
            data = b + body;
            data_len = len;
        }
        pos = body + len + (len & 1);
    }
    if (format < 0) return bad("no fmt chunk");
    if (format != 1) return bad("format " + std::to_string(format) + ", only PCM (1) is supported");
    if (bits != 16 || (channels != 1 && channels != 2) || align != 2 * channels)
        return bad(std::to_string(channels) + " channels of " + std::to_string(bits) +
                   " bits; only 16-bit mono or stereo is supported");
    if (rate < kMinWavRateHz || rate > kMaxWavRateHz)
        return bad("sample rate outside 8000 .. 192000 Hz");
    if (!data) return bad("no data chunk");
    const size_t frames = data_len / size_t(2 * channels);
    if (frames < 2) return bad("fewer than 2 frames of audio");
    out.rate_hz = rate;
    out.channels = channels;
    out.left.resize(frames);
    out.right.resize(frames);
    for (size_t i = 0; i < frames; ++i) {
        const unsigned char* p = data + i * size_t(2 * channels);
        out.left[i] = float(int16_t(le16(p))) / 32768.0f;
        out.right[i] = channels == 2 ? float(int16_t(le16(p + 2))) / 32768.0f : out.left[i];
    }
    return 0;
}

}  // namespace

int load_wav(const std::string& path, WavData& out, std::string& error, size_t max_bytes) {
    try {
        return load_wav_unguarded(path, out, error, max_bytes);
    } catch (const std::exception& e) {
        error = "WAV file " + path + ": " + e.what();
        return -ENOMEM;
    }
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
    f.audio.tones = {
        {261.63, 0.2, Side::Both}, {329.63, 0.2, Side::Both}, {392.00, 0.2, Side::Both}};
    return sc;
}

// ---------------------------------------------------------------- scene file

namespace {

const std::set<std::string> kStationKeys = {
    "freq_mhz",   "freq_hz",   "level_dbfs",     "deviation_hz", "preemphasis_us", "pilot",
    "stereo",     "offset_hz", "drift_hz_per_s", "tones_hz",     "left_tones_hz",  "right_tones_hz",
    "tone_level", "melody_hz", "note_ms",        "melody_level", "wav_file",       "wav_level"};
const std::set<std::string> kSceneKeys = {"noise_dbfs"};

// Ranges of the numeric keys (README.md, "Scenes").
struct Range {
    double lo, hi;
};
constexpr Range kNoiseDbfs{-300.0, 0.0};
constexpr Range kFreqMhz{0.001, 1000.0};
constexpr Range kFreqHz{1e3, 1e9};
constexpr Range kLevelDbfs{-200.0, 0.0};
constexpr Range kDeviationHz{0.0, 200000.0};
constexpr Range kPreemphasisUs{0.0, 1000.0};
constexpr Range kOffsetHz{-1e6, 1e6};
constexpr Range kDriftHzPerS{-1e4, 1e4};
constexpr Range kAudioHz{0.0, 20000.0};  // tones above 0, melody notes from 0 (a rest)
constexpr Range kNoteMs{1.0, 60000.0};
constexpr Range kShare{0.0, 1.0};

std::string strip_quotes(const std::string& v) {
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
    return v;
}

// A value as it may appear in a message: control bytes escaped, long texts cut.
std::string shown(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < 40; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    if (text.size() > 40) out += "...";
    return "\"" + out + "\"";
}

std::string number_text(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string range_text(Range r) { return number_text(r.lo) + " .. " + number_text(r.hi); }

enum class Parsed { ok, not_number, too_large };

Parsed parse_double(const std::string& t, double& out) {
    if (t.empty()) return Parsed::not_number;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || std::isnan(v)) return Parsed::not_number;
    if (std::isinf(v)) return Parsed::too_large;  // "inf", or beyond the double range
    out = v;
    return Parsed::ok;
}

// What the configuration scanner says about a scene (characters it does not
// take, unopened directive files), as a stream: the first kMaxNotes lines that
// hold more than blanks, each cut to kMaxNoteChars, and a count of the rest.
class ScannerNotes {
  public:
    ScannerNotes() {
        cookie_io_functions_t io{};
        io.write = [](void* self, const char* buf, size_t n) -> ssize_t {
            static_cast<ScannerNotes*>(self)->take(buf, n);
            return ssize_t(n);
        };
        stream_ = fopencookie(this, "w", io);
    }
    ~ScannerNotes() {
        if (stream_) std::fclose(stream_);
    }
    ScannerNotes(const ScannerNotes&) = delete;
    ScannerNotes& operator=(const ScannerNotes&) = delete;

    std::FILE* stream() const { return stream_; }  // null when it could not be made

    std::vector<std::string> lines() {
        if (stream_) std::fflush(stream_);
        std::vector<std::string> all = lines_;
        if (more_ > 0) all.push_back("... and " + std::to_string(more_) + " more lines");
        return all;
    }

  private:
    static constexpr size_t kMaxNotes = 20, kMaxNoteChars = 200;

    void take(const char* buf, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                if (line_.size() < kMaxNoteChars) line_ += buf[i];
                continue;
            }
            if (line_.find_first_not_of(" \t") != std::string::npos) {
                if (lines_.size() < kMaxNotes) {
                    lines_.push_back(line_.substr(line_.find_first_not_of(" \t")));
                } else {
                    ++more_;
                }
            }
            line_.clear();
        }
    }

    std::FILE* stream_ = nullptr;
    std::vector<std::string> lines_;
    std::string line_;
    size_t more_ = 0;
};

class SceneParser {
  public:
    SceneParser(const std::string& path, std::string& error)
        : path_(path), shown_path_(qvcfg::absolute_path(path)), error_(error) {}

    int run(RfScene& out, std::vector<std::string>* notes);

  private:
    // "scene file F, line L, KEY: what", F and L where the key was assigned.
    int fail(const std::string& key, const std::string& what, int rc = -EINVAL) {
        const key_place_* at = reader_.place(key);
        error_ =
            "scene file " + (at ? where(key) : shown_path_ + ", line ?") + ", " + key + ": " + what;
        return rc;
    }

    std::string where(const std::string& key) const {
        const key_place_* at = reader_.place(key);
        return at ? at->file + ", line " + std::to_string(at->line) : shown_path_;
    }

    // The key's text, or false when absent; a value longer than
    // kMaxValueChars fails (rc set).
    bool text_of(const std::string& key, std::string& text, int& rc) {
        const auto it = reader_.values().find(key);
        if (it == reader_.values().end()) return false;
        if (it->second.size() > kMaxValueChars) {
            rc = fail(key, "a value of " + std::to_string(it->second.size()) +
                               " characters, at most " + std::to_string(kMaxValueChars));
            return false;
        }
        text = strip_quotes(it->second);
        return true;
    }

    int number(const std::string& key, double& out, Range range) {
        std::string text;
        int rc = 0;
        if (!text_of(key, text, rc)) return rc;  // absent: keep the default
        double v = 0.0;
        const Parsed p = parse_double(text, v);
        if (p == Parsed::not_number) return fail(key, shown(text) + " is not a number");
        if (p == Parsed::too_large || v < range.lo || v > range.hi)
            return fail(key, shown(text) + " is outside " + range_text(range));
        out = v;
        return 0;
    }

    int flag(const std::string& key, bool& out) {
        double v = out ? 1.0 : 0.0;
        if (int e = number(key, v, kShare)) return e;
        if (v != 0.0 && v != 1.0) return fail(key, "must be 0 or 1");
        out = v != 0.0;
        return 0;
    }

    // "440/660/0": numbers separated by '/' (the configuration language has
    // no lists), at most max_count, each within `range` (above its low end
    // when low_open).
    int list(const std::string& key, std::vector<double>& out, size_t max_count, Range range,
             bool low_open, const char* what) {
        std::string text;
        int rc = 0;
        if (!text_of(key, text, rc)) return rc;
        out.clear();
        size_t start = 0;
        while (true) {
            const size_t slash = text.find('/', start);
            const std::string item =
                text.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            double v = 0.0;
            const Parsed p = parse_double(item, v);
            if (p == Parsed::not_number)
                return fail(key, shown(text) + " is not a list of numbers such as 440/660");
            if (out.size() == max_count) {
                const size_t count = size_t(std::count(text.begin(), text.end(), '/')) + 1;
                return fail(key, std::to_string(count) + " " + what + ", at most " +
                                     std::to_string(max_count));
            }
            if (p == Parsed::too_large || v < range.lo || v > range.hi ||
                (low_open && v == range.lo))
                return fail(key, shown(item) + " Hz is outside " +
                                     (low_open ? "0 (excluded)" : number_text(range.lo)) + " .. " +
                                     number_text(range.hi) + " Hz");
            out.push_back(v);
            if (slash == std::string::npos) return 0;
            start = slash + 1;
        }
    }

    int tones(const std::string& sec, const char* name, Side side, double level,
              std::vector<ToneSpec>& out) {
        std::vector<double> f;
        if (int e = list(sec + "." + name, f, kMaxTonesPerList, kAudioHz, true, "tones")) return e;
        for (double hz : f) out.push_back(ToneSpec{hz, level, side});
        return 0;
    }

    int station(const std::string& sec, StationSpec& s);
    // Where the station's first key stands, for messages about the station.
    std::string first_key_of(const std::string& sec) const;

    std::string path_, shown_path_;
    std::string& error_;
    config_reader_ reader_;
    std::string dir_;
    size_t wav_bytes_ = 0;
};

std::string SceneParser::first_key_of(const std::string& sec) const {
    std::string best;
    size_t order = SIZE_MAX;
    for (auto it = reader_.values().lower_bound(sec + "."); it != reader_.values().end(); ++it) {
        if (it->first.compare(0, sec.size() + 1, sec + ".") != 0) break;
        if (it->first.find('.', sec.size() + 1) != std::string::npos) continue;  // a deeper section
        const size_t at = reader_.place(it->first)->order;  // every stored key has its place
        if (at < order) {
            best = it->first;
            order = at;
        }
    }
    return best;
}

int SceneParser::station(const std::string& sec, StationSpec& s) {
    s.name = sec;
    s.origin = where(first_key_of(sec));
    const std::string k = sec + ".";
    const bool has_mhz = reader_.values().count(k + "freq_mhz") != 0;
    const bool has_hz = reader_.values().count(k + "freq_hz") != 0;
    if (has_mhz && has_hz)
        return fail(k + "freq_hz",
                    "freq_mhz is given too (" + where(k + "freq_mhz") + "); give one");
    if (has_mhz) {
        double mhz = 0.0;
        if (int e = number(k + "freq_mhz", mhz, kFreqMhz)) return e;
        s.freq_hz = mhz * 1e6;
    } else if (has_hz) {
        if (int e = number(k + "freq_hz", s.freq_hz, kFreqHz)) return e;
    } else {
        error_ = "scene file " + s.origin + ", " + k +
                 "freq_mhz: missing (each station needs freq_mhz or freq_hz)";
        return -EINVAL;
    }
    int e = 0;
    if ((e = number(k + "level_dbfs", s.level_dbfs, kLevelDbfs)) ||
        (e = number(k + "deviation_hz", s.deviation_hz, kDeviationHz)) ||
        (e = number(k + "preemphasis_us", s.preemphasis_us, kPreemphasisUs)) ||
        (e = flag(k + "pilot", s.pilot)) || (e = flag(k + "stereo", s.stereo)) ||
        (e = number(k + "offset_hz", s.offset_hz, kOffsetHz)) ||
        (e = number(k + "drift_hz_per_s", s.drift_hz_per_s, kDriftHzPerS)))
        return e;
    double tone_level = 0.3;
    if ((e = number(k + "tone_level", tone_level, kShare)) ||
        (e = tones(sec, "tones_hz", Side::Both, tone_level, s.audio.tones)) ||
        (e = tones(sec, "left_tones_hz", Side::Left, tone_level, s.audio.tones)) ||
        (e = tones(sec, "right_tones_hz", Side::Right, tone_level, s.audio.tones)) ||
        (e = list(k + "melody_hz", s.audio.melody_hz, kMaxMelodyNotes, kAudioHz, false, "notes")) ||
        (e = number(k + "note_ms", s.audio.note_ms, kNoteMs)) ||
        (e = number(k + "melody_level", s.audio.melody_level, kShare)) ||
        (e = number(k + "wav_level", s.audio.wav_level, kShare)))
        return e;
    std::string text;
    int rc = 0;
    if (text_of(k + "wav_file", text, rc)) {
        s.audio.wav_path = text;
        std::string full = text;
        if (!full.empty() && full[0] != '/') full = dir_ + "/" + full;
        // What is left of the scene's allowance for WAV files.
        const size_t allowance = wav_bytes_ >= kMaxSceneWavBytes
                                     ? 0
                                     : std::min(kMaxWavBytes, kMaxSceneWavBytes - wav_bytes_);
        auto wav = std::make_shared<WavData>();
        std::string why;
        if (int w = load_wav(full, *wav, why, allowance)) {
            if (w == -EFBIG && allowance < kMaxWavBytes)
                why += " (the scene's WAV files may hold " +
                       std::to_string(kMaxSceneWavBytes >> 20) + " MiB together)";
            return fail(k + "wav_file", why, w);
        }
        wav_bytes_ += 2 * size_t(wav->channels) * wav->left.size();  // its audio bytes
        s.audio.wav = std::move(wav);
    } else if (rc) {
        return rc;
    }
    return 0;
}

int SceneParser::run(RfScene& out, std::vector<std::string>* notes) {
    // What the scanner says goes to the notes, never to the program's
    // standard output; why it stopped goes into the one error message.
    ScannerNotes said;
    reader_.set_output(notes ? said.stream() : nullptr, nullptr);
    const int rc = reader_.load(path_);
    if (notes) *notes = said.lines();
    const load_result_& load = reader_.load_result();
    if (rc != 0 && !load.opened) {
        error_ =
            "scene file " + shown_path_ + " " + qvcfg::file_error_text(rc, qvcfg::kMaxFileBytes);
        return rc;
    }
    if (rc != 0) {
        // Named with the key whose value was being read there, if any.
        const std::string line =
            load.stop_line > 0 ? ", line " + std::to_string(load.stop_line) : "";
        const std::string key = load.stop_key.empty() ? "" : ", " + load.stop_key;
        error_ = "scene file " + load.stop_file + line + key + ": " + load.stop_reason;
        return rc;
    }
    if (!load.unopened.empty()) {
        error_ = "scene file " + shown_path_ + ": " + load.unopened.front();
        return -ENOENT;
    }
    const size_t slash = path_.find_last_of("/\\");
    dir_ = slash == std::string::npos ? "." : path_.substr(0, slash);
    // Every key must belong to [SCENE] or to a station section: a misspelt
    // key is an error rather than a silently ignored line.
    std::vector<std::string> sections;
    std::set<std::string> seen;
    for (const auto& kv : reader_.values()) {
        const size_t dot = kv.first.rfind('.');
        if (dot == std::string::npos) return fail(kv.first, "a key outside any section");
        const std::string sec = kv.first.substr(0, dot), key = kv.first.substr(dot + 1);
        const auto& known = sec == "SCENE" ? kSceneKeys : kStationKeys;
        if (!known.count(key)) return fail(kv.first, "unknown key");
        if (sec != "SCENE" && seen.insert(sec).second) sections.push_back(sec);
    }
    // Stations in the order the file gives them (their first keys).
    std::vector<std::pair<size_t, std::string>> by_order;
    for (const std::string& sec : sections) {
        by_order.emplace_back(reader_.place(first_key_of(sec))->order, sec);
    }
    std::stable_sort(by_order.begin(), by_order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    if (by_order.size() > kMaxStations) {
        const std::string& sec = by_order[kMaxStations].second;
        error_ = "scene file " + where(first_key_of(sec)) + ", " + sec + ": " +
                 std::to_string(sections.size()) + " stations, at most " +
                 std::to_string(kMaxStations);
        return -EINVAL;
    }
    RfScene sc;
    if (int e = number("SCENE.noise_dbfs", sc.noise_dbfs, kNoiseDbfs)) return e;
    for (const auto& entry : by_order) {
        StationSpec s;
        if (int e = station(entry.second, s)) return e;
        sc.stations.push_back(std::move(s));
    }
    if (sc.stations.empty()) {
        error_ = "scene file " + shown_path_ + ": no station sections";
        return -EINVAL;
    }
    out = std::move(sc);
    return 0;
}

}  // namespace

int load_scene(const std::string& path, RfScene& out, std::string& error,
               std::vector<std::string>* notes) {
    try {
        return SceneParser(path, error).run(out, notes);
    } catch (const std::exception& e) {
        // Out of memory, in the end: the reader itself throws nothing.
        error = "scene file " + path + ": " + e.what();
        return -ENOMEM;
    }
}

// ------------------------------------------------------- real-time estimate

namespace {

// Stream-thread cost per CICN output sample in ns of the model's plain loops,
// paced like the board's producer, on the layout of config/FM_radio.ini,
// fitted to qv-chip-bench on scenes of 1 and 32 stations of each kind, all
// inside the channel (README.md, "Measured"), the larger of two runs; the
// vector loops need about a third.
constexpr double kFixedNs = 30.0;   // noise, DFIR1, DFIR2, gain stage, the wake-ups
constexpr double kStationNs = 6.3;  // carrier and mirror image of one station
constexpr double kOscillatorNs =
    0.76;                          // one steady tone (a one-sided tone of a stereo station: two)
constexpr double kMelodyNs = 2.0;  // the note sequencer
constexpr double kPilotNs = 2.3;
constexpr double kSubcarrierNs = 5.5;  // the 38 kHz difference signal
constexpr double kWavNs = 11.0;        // interpolating the recording
constexpr double kWavStereoNs = 4.0;   // its difference signal as well
// CIC decimation of config/FM_radio.ini (CIC2 4, CICN 9).
constexpr double kCicDecimation = 36.0;

double station_ns(const StationSpec& st) {
    double ns = kStationNs;
    size_t one_sided = 0;
    for (const ToneSpec& t : st.audio.tones) one_sided += t.side != Side::Both;
    ns += kOscillatorNs * double(st.audio.tones.size() + (st.stereo ? one_sided : 0));
    if (!st.audio.melody_hz.empty()) ns += kMelodyNs;
    if (st.audio.wav) ns += kWavNs + (st.stereo ? kWavStereoNs : 0.0);
    if (st.pilot) ns += kPilotNs;
    if (st.stereo && (one_sided > 0 || st.audio.wav)) ns += kSubcarrierNs;
    return ns;
}

}  // namespace

double scene_cpu_share(const RfScene& scene, double clock_hz) {
    double ns = kFixedNs;
    for (const StationSpec& st : scene.stations) ns += station_ns(st);
    return ns * 1e-9 * clock_hz / kCicDecimation;
}

int check_scene_real_time(const RfScene& scene, double clock_hz, const std::string& name,
                          std::string& error, std::string* warning) {
    const double share = scene_cpu_share(scene, clock_hz);
    size_t tones = 0, melodies = 0, wavs = 0;
    for (const StationSpec& st : scene.stations) {
        tones += st.audio.tones.size();
        melodies += !st.audio.melody_hz.empty();
        wavs += st.audio.wav != nullptr;
    }
    char what[256];
    std::snprintf(what, sizeof what,
                  "the chip model needs about %.0f %% of one core for this scene at a %g MHz clock "
                  "(%zu stations, "
                  "%zu tones, %zu melodies, %zu WAV files)",
                  100.0 * share, clock_hz / 1e6, scene.stations.size(), tones, melodies, wavs);
    if (share > kMaxSceneCpuShare) {
        // The station with which the running sum passes the bound.
        double ns = kFixedNs;
        std::string at;
        for (const StationSpec& st : scene.stations) {
            ns += station_ns(st);
            if (ns * 1e-9 * clock_hz / kCicDecimation > kMaxSceneCpuShare) {
                at = " (passed with " +
                     (st.origin.empty() ? st.name : "station " + st.name + ", " + st.origin) + ")";
                break;
            }
        }
        error = "scene " + name + ": " + what + "; above " +
                number_text(100.0 * kMaxSceneCpuShare) + " % it cannot keep up in real time" + at;
        return -EINVAL;
    }
    if (share > kWarnSceneCpuShare && warning) {
        *warning = "scene " + name + ": " + what + "; a busy machine may not keep up above " +
                   number_text(100.0 * kWarnSceneCpuShare) + " %";
    }
    return 0;
}

}  // namespace qv01model
