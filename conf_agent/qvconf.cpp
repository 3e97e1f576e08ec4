// qvconf: runs the chip configuration agent on a configuration file against
// the virtual board and prints the register dump, or lists the file's values.
//
//   qvconf FILE         progress lines and check reports of the receive-path
//                       and four channel sections, then the "config.c" dump,
//                       all on standard output
//   qvconf --keys FILE  every stored value as "key = value", in key order
//
// Exit status: 0 file read and every key found, 1 a check report was printed,
// 2 the file (or, for FILE, the board) could not be opened.
//
// Paths inside the file (coefficient files) are relative to the working
// directory, like in the programs: run it from run/. The board is the virtual
// board linked into this program; it needs "../fw/proto.hex".
#include <fcntl.h>
#include <unistd.h>

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

bool readable(const char* path)
{
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        std::fprintf(stderr, "qvconf: cannot open %s\n", path);
        return false;
    }
    std::fclose(f);
    return true;
}

int list_keys(const char* path)
{
    config_reader_ reader;
    reader.load(path);
    for (const auto& [key, value] : reader.values())
        std::printf("%s = %s\n", key.c_str(), value.c_str());
    return 0;
}

// Brings the virtual board up with standard output parked on /dev/null: the
// firmware loader's and stream thread's lines are not part of qvconf's output.
// Errors on standard error still show.
std::unique_ptr<QV_demo_board_> quiet_board()
{
    qv::LinkProfile profile = qv::kLibusb1Profile;
    profile.announce_stream_thread = false;
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (saved >= 0 && null_fd >= 0)
        dup2(null_fd, STDOUT_FILENO);
    auto board = create_board_on(qv::open_libusb1_port(qv::kFx2Vendor, qv::kFx2Product),
                                 "../fw/proto.hex", profile);
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
    auto board = quiet_board();
    if (!board) {
        std::fprintf(stderr, "qvconf: no board (virtual board and ../fw/proto.hex needed)\n");
        return 2;
    }
    int reports = 0;
    {
        conf_agent_ agent(*board, path);
        agent.setup_rx("RX");
        agent.setup_channel(0, "CH1");
        agent.setup_channel(1, "CH2");
        agent.setup_channel(2, "CH3");
        agent.setup_channel(3, "CH4");
        agent.dump_regs(stdout);
        reports = agent.check_reports();
    }
    std::fflush(stdout);
    return reports == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--keys") == 0)
        return readable(argv[2]) ? list_keys(argv[2]) : 2;
    if (argc == 2 && argv[1][0] != '-')
        return readable(argv[1]) ? run_sections(argv[1]) : 2;
    return usage();
}
