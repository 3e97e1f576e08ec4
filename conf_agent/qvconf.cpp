// qvconf: runs the chip configuration agent on a configuration file against
// the virtual board and prints the register dump, or lists the file's values.
//
//   qvconf FILE         progress lines and check reports of the receive-path
//                       and four channel sections, then the "config.c" dump,
//                       all on standard output
//   qvconf --keys FILE  every stored value as "key = value", in key order
//
// Exit status: 0 file read and every key found, 1 a check report was printed
// or the board stopped answering, 2 the file could not be read (missing, or a
// scanner error ended its load) or, for FILE, the board could not be opened.
// Why, and a summary of missing keys and unusable files, go to standard error.
//
// Paths inside the file (coefficient files) are relative to the working
// directory, like in the programs: run it from run/. The board is the virtual
// board linked into this program; it needs "../fw/proto.hex".
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "conf_agent.h"
#include "config_reader.h"
#include "qv_board.h"
#include "usb_port_libusb1.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: qvconf [--keys] FILE\n");
    return 2;
}

void print_error(const std::string& text)
{
    std::fprintf(stderr, "qvconf: %s\n", text.c_str());
}

bool readable(const char* path)
{
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        print_error(qvcfg::cannot_open_text("configuration file", path, errno));
        return false;
    }
    std::fclose(f);
    return true;
}

int list_keys(const char* path)
{
    config_reader_ reader;
    if (reader.load(path) != 0) {
        print_error(reader.load_result().message);
        return 2;
    }
    for (const std::string& problem : reader.load_result().unopened)
        print_error(problem);
    for (const auto& [key, value] : reader.values())
        std::printf("%s = %s\n", key.c_str(), value.c_str());
    return 0;
}

// Brings the virtual board up with standard output parked on /dev/null: the
// firmware loader's and stream thread's lines are not part of qvconf's output.
// Errors on standard error still show.
std::unique_ptr<QV_demo_board_> quiet_board(std::string& error)
{
    qv::LinkProfile profile = qv::kLibusb1Profile;
    profile.announce_stream_thread = false;
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (saved >= 0 && null_fd >= 0)
        dup2(null_fd, STDOUT_FILENO);
    auto board = create_board_on(qv::open_libusb1_port(qv::kFx2Vendor, qv::kFx2Product),
                                 "../fw/proto.hex", profile, &error);
    std::fflush(stdout);
    if (saved >= 0 && null_fd >= 0)
        dup2(saved, STDOUT_FILENO);
    if (saved >= 0)
        close(saved);
    if (null_fd >= 0)
        close(null_fd);
    return board;
}

int run_sections(const char* path)
{
    std::string board_error;
    auto board = quiet_board(board_error);
    if (!board) {
        // A firmware file that cannot be used is already explained on
        // standard error by the board link.
        if (board_error.empty())
            print_error("no board (the virtual board found no device)");
        return 2;
    }
    ConfigureReport report;
    {
        conf_agent_ agent(*board, path);
        if (agent.load_error() != 0) {
            print_error(agent.report().error);
            return 2;
        }
        const int rc = agent.setup_sections();
        if (rc == 0)
            agent.dump_regs(stdout);
        report = agent.report();
    }
    std::fflush(stdout);
    if (!report.summary().empty())
        print_error(report.summary());
    if (!report.error.empty()) {
        print_error(report.error);
        return 1;
    }
    return report.check_reports == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    // Progress lines and check reports reach a log line by line.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc == 3 && std::strcmp(argv[1], "--keys") == 0)
        return readable(argv[2]) ? list_keys(argv[2]) : 2;
    if (argc == 2 && argv[1][0] != '-')
        return readable(argv[1]) ? run_sections(argv[1]) : 2;
    return usage();
}
