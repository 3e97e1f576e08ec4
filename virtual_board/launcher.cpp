// qv-virtual-board: runs an unchanged program against the virtual QV demo
// board by putting libqv_virtual_board.so (found beside this program in the
// build tree, in the private library folder once installed) in front of
// libusb-1.0 with LD_PRELOAD.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "program_info.h"
#include "qv01_chip.h"
#include "vboard_control.h"

namespace {

constexpr const char* kLibraryName = "libqv_virtual_board.so";

void usage(FILE* out) {
    std::fprintf(
        out,
        "usage: qv-virtual-board [options] -- PROGRAM [ARGS...]\n"
        "\n"
        "Runs PROGRAM with the virtual QV demo board in place of the USB board:\n"
        "%s, found beside this launcher or in %s\n"
        "relative to it, is preloaded in front of libusb-1.0 and libusb-0.1.\n"
        "\n"
        "options:\n"
        "  --trace FILE            append a protocol trace to FILE (QV_VIRTUAL_TRACE)\n"
        "  --pattern scene|tone|counter\n"
        "                          what the chip streams (QV_VIRTUAL_PATTERN): scene, the\n"
        "                          default, is the QV01 channel model receiving the FM\n"
        "                          band of the RF scene; tone and counter replace it by\n"
        "                          the simple chip: +10 kHz at -6 dBFS, or frame numbers\n"
        "  --scene FILE            RF scene for the chip model (QV_VIRTUAL_SCENE), checked\n"
        "                          before the program starts\n"
        "  --clock-hz HZ           chip clock, 1e6 to 2e8, default 66000000\n"
        "                          (QV_VIRTUAL_CLOCK_HZ)\n"
        "  --ppm X                 chip clock error in ppm for the chip model, -1000 to\n"
        "                          1000 (QV_VIRTUAL_PPM)\n"
        "  --unplug-after SECONDS  pull the board's cable SECONDS after the board comes\n"
        "                          into existence in the program (its first libusb call):\n"
        "                          transfers fail with no-device, opening finds nothing\n"
        "                          (QV_VIRTUAL_UNPLUG_AFTER); 0 to 86400, also for\n"
        "                          --replug-after\n"
        "  --replug-after SECONDS  plug it in again SECONDS after the unplug, as a bare\n"
        "                          FX2 without firmware: the program must open it and\n"
        "                          download the firmware again; needs --unplug-after\n"
        "                          (QV_VIRTUAL_REPLUG_AFTER)\n"
        "  --deny-open             the board is on the bus but may not be opened, as\n"
        "                          without the udev rule (QV_VIRTUAL_DENY_OPEN=1)\n"
        "  --help                  show this text\n"
        "  --version               show the version\n"
        "\n"
        "Every option is checked before PROGRAM starts: a bad value, a trace file that\n"
        "cannot be appended to or a scene the chip model cannot use ends the launcher\n"
        "with status 2 and the reason on standard error.\n",
        kLibraryName, QV_VBOARD_LIBRARY_RELDIR);
}

// Ranges of the options (README.md): a clock for which the programs'
// decimations still give a useful stream, a crystal's error, a day.
constexpr double kMinClockHz = 1e6, kMaxClockHz = 200e6;
constexpr double kMaxPpm = 1000.0;
constexpr double kMaxSeconds = 86400.0;

// Absolute form of a path given relative to the launcher's working directory,
// so that a program that changes directory still writes where it was asked.
std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

// The whole text is one finite number within lo .. hi.
bool number_in(const char* text, double lo, double hi) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && std::isfinite(v) && v >= lo && v <= hi;
}

// Reads the scene as the program's board will and reports on standard error:
// what the scanner said about the file, warnings, and the problem that
// refuses it. Returns false when refused.
bool check_scene(const qv01model::ChipModelOptions& options) {
    std::string error;
    std::vector<std::string> warnings;
    const int rc = qv01model::check_qv01_chip(options, error, &warnings);
    for (const std::string& w : warnings)
        std::fprintf(stderr, "qv-virtual-board: warning: %s\n", w.c_str());
    if (rc != 0) std::fprintf(stderr, "qv-virtual-board: %s\n", error.c_str());
    return rc == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bool unplug = false, replug = false;
    qv01model::ChipModelOptions chip;
    chip.clock_hz = vboard::kDefaultClockHz;
    int k = 1;
    for (; k < argc; ++k) {
        const std::string opt = argv[k];
        if (opt == "--") {
            ++k;
            break;
        }
        if (opt == "--help" || opt == "-h") {
            usage(stdout);
            return 0;
        }
        if (opt == "--version") {
            qv::print_version("qv-virtual-board");
            return 0;
        }
        if (opt == "--deny-open") {
            setenv("QV_VIRTUAL_DENY_OPEN", "1", 1);
            continue;
        }
        const bool takes_value = opt == "--trace" || opt == "--pattern" || opt == "--scene" ||
                                 opt == "--clock-hz" || opt == "--ppm" || opt == "--unplug-after" ||
                                 opt == "--replug-after";
        if (!takes_value) {
            std::fprintf(stderr, "qv-virtual-board: unknown option %s\n", opt.c_str());
            usage(stderr);
            return 2;
        }
        if (k + 1 >= argc) {
            std::fprintf(stderr, "qv-virtual-board: %s needs a value\n", opt.c_str());
            return 2;
        }
        const char* value = argv[++k];
        if (opt == "--trace") {
            // Appended to by the program's board: make sure that can work.
            const std::string path = absolute(value);
            std::FILE* f = *value ? std::fopen(path.c_str(), "a") : nullptr;
            if (!f) {
                std::fprintf(stderr, "qv-virtual-board: --trace: cannot append to \"%s\": %s\n",
                             path.c_str(), *value ? std::strerror(errno) : "empty file name");
                return 2;
            }
            std::fclose(f);
            setenv("QV_VIRTUAL_TRACE", path.c_str(), 1);
        } else if (opt == "--pattern") {
            if (std::strcmp(value, "tone") != 0 && std::strcmp(value, "counter") != 0 &&
                std::strcmp(value, "scene") != 0) {
                std::fprintf(stderr, "qv-virtual-board: --pattern takes scene, tone or counter\n");
                return 2;
            }
            setenv("QV_VIRTUAL_PATTERN", value, 1);
        } else if (opt == "--scene") {
            // Read once all options are known (the real-time check needs the
            // clock), before the program starts.
            chip.scene_path = absolute(value);
            setenv("QV_VIRTUAL_SCENE", chip.scene_path.c_str(), 1);
        } else if (opt == "--clock-hz") {
            if (!number_in(value, kMinClockHz, kMaxClockHz)) {
                std::fprintf(
                    stderr,
                    "qv-virtual-board: --clock-hz takes a number of Hz from %g to %g, not \"%s\"\n",
                    kMinClockHz, kMaxClockHz, value);
                return 2;
            }
            chip.clock_hz = std::strtod(value, nullptr);
            setenv("QV_VIRTUAL_CLOCK_HZ", value, 1);
        } else if (opt == "--unplug-after" || opt == "--replug-after") {
            if (!number_in(value, 0.0, kMaxSeconds)) {
                std::fprintf(
                    stderr,
                    "qv-virtual-board: %s takes a number of seconds from 0 to %g, not \"%s\"\n",
                    opt.c_str(), kMaxSeconds, value);
                return 2;
            }
            const bool is_unplug = opt == "--unplug-after";
            (is_unplug ? unplug : replug) = true;
            setenv(is_unplug ? "QV_VIRTUAL_UNPLUG_AFTER" : "QV_VIRTUAL_REPLUG_AFTER", value, 1);
        } else {
            if (!number_in(value, -kMaxPpm, kMaxPpm)) {
                std::fprintf(stderr,
                             "qv-virtual-board: --ppm takes a number from %g to %g, not \"%s\"\n",
                             -kMaxPpm, kMaxPpm, value);
                return 2;
            }
            chip.ppm = std::strtod(value, nullptr);
            setenv("QV_VIRTUAL_PPM", value, 1);
        }
    }
    if (replug && !unplug) {
        std::fprintf(stderr, "qv-virtual-board: --replug-after needs --unplug-after\n");
        return 2;
    }
    if (k >= argc) {
        std::fprintf(stderr, "qv-virtual-board: no program given\n");
        usage(stderr);
        return 2;
    }
    // A bad scene is reported before the program starts rather than from
    // inside its first USB call.
    if (!chip.scene_path.empty() && !check_scene(chip)) return 2;

    char self[PATH_MAX];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) {
        std::fprintf(stderr, "qv-virtual-board: cannot read /proc/self/exe: %s\n",
                     std::strerror(errno));
        return 1;
    }
    self[len] = '\0';
    const std::string dir = std::string(self).substr(0, std::string(self).rfind('/') + 1);
    // Beside the launcher in the build tree; in the private library folder
    // once installed.
    std::string library = dir + kLibraryName;
    if (access(library.c_str(), R_OK) != 0)
        library = dir + QV_VBOARD_LIBRARY_RELDIR + "/" + kLibraryName;
    if (access(library.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "qv-virtual-board: %s not found beside %s nor in %s: %s\n",
                     kLibraryName, self, library.c_str(), std::strerror(errno));
        return 1;
    }
    std::string preload = library;
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);

    execvp(argv[k], argv + k);
    std::fprintf(stderr, "qv-virtual-board: %s: %s\n", argv[k], std::strerror(errno));
    return 127;
}
