#include "options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace qvradio {

const char* const kUsage =
    "usage: qv-radio -f FREQ [-o FILE|-] [--play] [--iq FILE] [--seconds S] [--mono]\n"
    "                [--deemph 50|75] [--no-afc] [--quiet] [--config FILE] [--firmware FILE]\n"
    "       qv-radio --scan [FROM TO STEP] [--config FILE] [--firmware FILE]\n"
    "       qv-radio --help | --version\n";

const char* const kHelp =
    "Command-line FM receiver for the QV01 evaluation board (or the virtual board:\n"
    "qv-virtual-board -- qv-radio ...). Tunes, plays or records, and says on\n"
    "standard error how the stream is doing, about once a second.\n"
    "\n"
    "  -f, --frequency FREQ  tune to FREQ: Hz, or with k, M or G (103.5M)\n"
    "  -o, --output FILE     record to a WAV file (44.1 kHz stereo, 16 bit) instead of\n"
    "                        playing; - writes raw signed 16-bit little-endian stereo\n"
    "                        at 44.1 kHz to standard output\n"
    "  --play                play through the sound server as well as recording\n"
    "  --iq FILE             record the chip's I/Q stream: WAV, two 16-bit channels at\n"
    "                        the chip's output rate\n"
    "  --seconds S           stop after S seconds of audio (else at Ctrl-C)\n"
    "  --mono                mono even when the station sends stereo\n"
    "  --deemph 50|75        de-emphasis in microseconds (default 75; 50 in Europe)\n"
    "  --no-afc              no automatic frequency control\n"
    "  --quiet               no status line\n"
    "  --scan [FROM TO STEP] step across the band (default 100M 110M 100k) and list\n"
    "                        the carriers found, sorted by frequency\n"
    "  --config FILE         chip configuration (default: FM_radio.ini, see below)\n"
    "  --firmware FILE       FX2 firmware image (default: see below)\n"
    "  --help, --version\n"
    "\n"
    "Default files: the firmware is the maker's image in\n"
    "~/.local/share/qv01/firmware/qv01-fx2.hex or /usr/local/share/qv01/firmware/\n"
    "qv01-fx2.hex (not under qv-virtual-board), else the prototype ../fw/proto.hex\n"
    "from the working directory, the installed one, the source tree's. The\n"
    "configuration is ../config/FM_radio.ini from the working directory, else the\n"
    "installed one, else the source tree's, each run where the coefficient files it\n"
    "names are found. A configuration given with --config runs in its own folder:\n"
    "the files it names are taken from there.\n"
    "Exit status: 0 done (also after Ctrl-C), 1 a run-time failure (no board, a\n"
    "missing file, the board or the sound server gone), 2 bad arguments.\n";

int parse_frequency(const std::string& text, double* hz) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return -22;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || errno == ERANGE || !std::isfinite(v)) return -22;
    // Hexadecimal and exponents are the C library's, not a frequency's.
    if (text.find_first_of("xXpP") != std::string::npos) return -22;
    std::string suffix(end);
    if (suffix == "k" || suffix == "K")
        v *= 1e3;
    else if (suffix == "M")
        v *= 1e6;
    else if (suffix == "G")
        v *= 1e9;
    else if (!suffix.empty())
        return -22;
    *hz = v;
    return 0;
}

namespace {

bool in_range(double hz) { return hz >= kMinFrequencyHz && hz <= kMaxFrequencyHz; }

// A scan argument: a frequency, not an option.
bool scan_argument(const char* a) {
    double hz;
    return a != nullptr && a[0] != '-' && parse_frequency(a, &hz) == 0;
}

}  // namespace

int parse_options(int argc, const char* const* argv, Options* out, std::string* error) {
    Options o;
    bool have_frequency = false, scan = false, play_given = false;
    auto fail = [&](const std::string& text) {
        *error = text;
        return -22;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        // The option's value, the next argument.
        auto value = [&](std::string* v) {
            if (i + 1 >= argc) return false;
            *v = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            out->action = Options::Action::help;
            return 0;
        } else if (a == "--version") {
            out->action = Options::Action::version;
            return 0;
        } else if (a == "-f" || a == "--frequency") {
            if (!value(&v)) return fail(a + " needs a frequency");
            if (parse_frequency(v, &o.frequency_hz) != 0)
                return fail("not a frequency: " + v + " (Hz, or with k, M or G: 103.5M)");
            if (!in_range(o.frequency_hz))
                return fail("frequency out of range: " + v + " (1 Hz to 1 GHz)");
            have_frequency = true;
        } else if (a == "-o" || a == "--output") {
            if (!value(&v) || v.empty())
                return fail(a + " needs a file name, or - for standard output");
            o.output = v;
        } else if (a == "--play") {
            play_given = true;
        } else if (a == "--iq") {
            if (!value(&v) || v.empty() || v == "-") return fail("--iq needs a file name");
            o.iq_output = v;
        } else if (a == "--seconds") {
            if (!value(&v)) return fail("--seconds needs a number");
            char* end = nullptr;
            o.seconds = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(o.seconds > 0) || o.seconds > 1e7)
                return fail("--seconds needs a number of seconds above 0: " + v);
        } else if (a == "--config") {
            if (!value(&v) || v.empty()) return fail("--config needs a file name");
            o.config = v;
        } else if (a == "--firmware") {
            if (!value(&v) || v.empty()) return fail("--firmware needs a file name");
            o.firmware = v;
        } else if (a == "--no-afc") {
            o.afc = false;
        } else if (a == "--mono") {
            o.mono = true;
        } else if (a == "--deemph") {
            if (!value(&v)) return fail("--deemph needs 50 or 75");
            if (v == "50")
                o.deemphasis_us = 50;
            else if (v == "75")
                o.deemphasis_us = 75;
            else
                return fail("--deemph takes 50 or 75 (microseconds): " + v);
        } else if (a == "--quiet" || a == "-q") {
            o.quiet = true;
        } else if (a == "--scan") {
            scan = true;
            if (scan_argument(i + 1 < argc ? argv[i + 1] : nullptr)) {
                if (!scan_argument(i + 2 < argc ? argv[i + 2] : nullptr) ||
                    !scan_argument(i + 3 < argc ? argv[i + 3] : nullptr))
                    return fail("--scan takes no range or all three of FROM TO STEP");
                parse_frequency(argv[i + 1], &o.scan_from_hz);
                parse_frequency(argv[i + 2], &o.scan_to_hz);
                parse_frequency(argv[i + 3], &o.scan_step_hz);
                i += 3;
                if (!in_range(o.scan_from_hz) || !in_range(o.scan_to_hz))
                    return fail("scan range out of range (1 Hz to 1 GHz)");
                if (!(o.scan_from_hz < o.scan_to_hz) || !(o.scan_step_hz > 0))
                    return fail("--scan needs FROM below TO and a STEP above 0");
                if ((o.scan_to_hz - o.scan_from_hz) / o.scan_step_hz >= kMaxScanSteps)
                    return fail("--scan: more than " + std::to_string(kMaxScanSteps) + " steps");
            }
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            return fail("unknown option " + a);
        } else {
            return fail("unexpected argument " + a);
        }
    }
    if (scan) {
        if (have_frequency || !o.output.empty() || play_given || !o.iq_output.empty() ||
            o.seconds > 0)
            return fail("--scan takes none of -f, -o, --play, --iq, --seconds");
        o.action = Options::Action::scan;
    } else if (!have_frequency) {
        return fail("no frequency: give -f FREQ (or --scan)");
    }
    o.play = o.output.empty() || play_given;
    *out = o;
    return 0;
}

}  // namespace qvradio
