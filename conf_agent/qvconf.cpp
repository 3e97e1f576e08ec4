// qvconf: checks a configuration file before it touches a board. Runs the
// chip configuration agent on the file and prints what the programs would
// send, or lists the file's values.
//
//   qvconf FILE          receive-path and four channel sections into a
//                        register image (no board, no firmware needed): the
//                        progress lines and check reports, then the register
//                        dump ("config.c" text), on standard output
//   qvconf --board FILE  the same against a board: the first FX2 found through
//                        libusb-1.0 (the virtual board under qv-virtual-board,
//                        or a real one), brought up with "../fw/proto.hex";
//                        bus timing and control lines as qv01_fm sets them,
//                        then the sections; the receiver is not started
//   qvconf --keys FILE   every stored value as "key = value", in key order
//
// Standard error: why a file could not be read (one line), coefficient
// warnings as they are met, then a summary: every missing key in full with the
// configuration file, and the files that could not be used.
//
// Exit status: 0 clean; 1 check reports or warnings (missing keys, unusable
// directive or coefficient files, coefficients that are not numbers or do not
// fit 16 bits); 2 usage, or the file is missing, unreadable or a directory,
// or a scanner error stopped its load; 3 (--board) no board could be opened
// (none found, no permission to open it, firmware not loaded) or it stopped
// answering.
//
// Paths inside the file (coefficient files) are relative to the working
// directory, like in the programs: run it from run/.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "conf_agent.h"
#include "config_reader.h"
#include "program_info.h"
#include "qv_board.h"
#include "usb_port_libusb1.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitFindings = 1;
constexpr int kExitUnreadable = 2;  // also usage errors
constexpr int kExitBoard = 3;

const char* const kUsage =
    "usage: qvconf [--board] FILE\n"
    "       qvconf --keys FILE\n";

const char* const kHelp =
    "Checks a QV01 configuration file: runs the chip configuration agent on FILE\n"
    "and prints its progress lines, check reports and the register dump (the\n"
    "text of config.c) on standard output; missing keys and unusable files are\n"
    "summarised on standard error. Coefficient file names in FILE are relative\n"
    "to the working directory: run it from run/.\n"
    "\n"
    "  (no option)  into a register image only: no board, no firmware needed\n"
    "  --board      against a board found through libusb-1.0 (the virtual board\n"
    "               under qv-virtual-board, or a real one); needs ../fw/proto.hex\n"
    "  --keys       list every value of FILE as \"key = value\", in key order\n"
    "  --help       this text\n"
    "  --version    the version\n"
    "\n"
    "Exit status: 0 clean, 1 check reports or warnings, 2 usage or FILE missing,\n"
    "unreadable, a directory or stopped by a scanner error, 3 no board (--board).\n";

void print_error(const std::string& text) { std::fprintf(stderr, "qvconf: %s\n", text.c_str()); }

// A load that stopped while reading has printed its reason already; one that
// could not open its file has not.
int load_failed(const load_result_& load) {
    if (!load.opened) print_error(load.message);
    return kExitUnreadable;
}

int list_keys(const char* path) {
    config_reader_ reader;
    if (reader.load(path) != 0) return load_failed(reader.load_result());
    for (const auto& [key, value] : reader.values())
        std::printf("%s = %s\n", key.c_str(), value.c_str());
    std::fflush(stdout);
    for (const std::string& problem : reader.load_result().unopened) print_error(problem);
    return reader.load_result().unopened.empty() ? kExitClean : kExitFindings;
}

// Brings the board up with standard output parked on /dev/null: the firmware
// loader's and stream thread's lines are not part of qvconf's output. Errors
// on standard error still show. No board: `error` is empty when no device was
// found, tells why the device could not be opened, or why the firmware could
// not be loaded (then already on standard error from the board link).
std::unique_ptr<QV_demo_board_> quiet_board(std::string& error, bool* opened) {
    auto port = qv::open_libusb1_port(qv::kFx2Vendor, qv::kFx2Product, &error);
    *opened = port != nullptr;
    if (!port) return nullptr;
    qv::LinkProfile profile = qv::kLibusb1Profile;
    profile.announce_stream_thread = false;
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (saved >= 0 && null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
    auto board = create_board_on(std::move(port), "../fw/proto.hex", profile, &error);
    std::fflush(stdout);
    if (saved >= 0 && null_fd >= 0) dup2(saved, STDOUT_FILENO);
    if (saved >= 0) close(saved);
    if (null_fd >= 0) close(null_fd);
    return board;
}

// After the check reports: every missing key in full with the configuration
// file, then the files that could not be used.
void print_summary(const ConfigureReport& report, const char* path) {
    const size_t n = report.missing_keys.size();
    if (n > 0) {
        print_error(qvcfg::absolute_path(path) + ": " + std::to_string(n) +
                    (n == 1 ? " key" : " keys") + " missing:");
        for (const std::string& key : report.missing_keys)
            std::fprintf(stderr, "  %s\n", key.c_str());
    }
    for (const std::string& problem : report.file_problems) print_error(problem);
}

int run_sections(const char* path, bool use_board) {
    std::unique_ptr<QV_demo_board_> board;
    if (use_board) {
        std::string error;
        bool opened = false;
        board = quiet_board(error, &opened);
        if (!board) {
            // A firmware file that cannot be used is already explained on
            // standard error by the board link.
            if (!opened)
                print_error(error.empty() ? "No board: no USB device 04b4:8613 was found (for the "
                                            "virtual board run qv-virtual-board -- qvconf --board "
                                            "FILE)."
                                          : error);
            return kExitBoard;
        }
    }
    auto agent =
        board ? std::make_unique<conf_agent_>(*board, path) : std::make_unique<conf_agent_>(path);
    if (agent->load_error() != 0) return load_failed(agent->reader().load_result());

    int rc = 0;
    if (board) {
        rc = board->set_bus_timing(5000);
        if (rc >= 0) rc = board->set_lines(1, 3);  // nMisk and nLoad high
    }
    if (rc >= 0) rc = agent->setup_sections();
    if (rc >= 0) agent->dump_regs(stdout);
    const ConfigureReport report = agent->report();
    agent.reset();
    std::fflush(stdout);
    print_summary(report, path);
    if (rc < 0) {
        print_error(board_lost_text(rc));
        return kExitBoard;
    }
    const bool findings =
        report.check_reports > 0 || !report.file_problems.empty() || !report.warnings.empty();
    return findings ? kExitFindings : kExitClean;
}

}  // namespace

int main(int argc, char** argv) {
    // Progress lines and check reports reach a log line by line.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bool keys = false, board = false;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::printf("%s\n%s", kUsage, kHelp);
            return kExitClean;
        }
        if (std::strcmp(arg, "--version") == 0) {
            qv::print_version("qvconf");
            return kExitClean;
        }
        if (std::strcmp(arg, "--keys") == 0) {
            keys = true;
        } else if (std::strcmp(arg, "--board") == 0) {
            board = true;
        } else if (arg[0] != '-' && file == nullptr) {
            file = arg;
        } else {
            file = nullptr;
            break;
        }
    }
    if (file == nullptr || (keys && board)) {
        std::fputs(kUsage, stderr);
        return kExitUnreadable;
    }
    return keys ? list_keys(file) : run_sections(file, board);
}
