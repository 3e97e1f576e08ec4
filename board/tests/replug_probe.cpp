// A program linked against the real libusb-1.0 that keeps the board the way
// qv01_fm does (board_instance) and waits out an unplug and a replug: run under
// qv-virtual-board --unplug-after S --replug-after S it must see the board
// lost and open it again. Expects ../fw/proto.hex from its working directory.
// Prints "opened fw XXXXXXXX", "lost", "reopened fw XXXXXXXX chip XXXX" and
// exits 0; exits 1 when a step does not happen within 20 s.
#include <chrono>
#include <cstdio>

#include "eventually.h"
#include "qv_board.h"

namespace {

// Each step (lost, back) within 20 s, asked every 20 ms: the classic bus walk
// prints a line for every look that finds no board.
constexpr std::chrono::seconds kStepLimit{20};
constexpr std::chrono::milliseconds kPoll{20};

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QV_demo_board_* board = board_instance();
    if (!board) {
        std::fprintf(stderr, "no board: %s\n", board_instance_error().c_str());
        return 1;
    }
    std::printf("opened fw %08X\n", static_cast<unsigned>(board->bridge_read(2, 0)));
    board->stream_control(1, 0);
    if (!eventually([&] { return board->device_lost() && board->stream_thread_ended(); },
                    kStepLimit, kPoll))
        return 1;
    std::printf("lost\n");
    if (!eventually([&] { return reopen_board_instance() != nullptr; }, kStepLimit, kPoll))
        return 1;
    board = board_instance();
    uint32_t fw = 0, chip = 0;
    if (board->bridge_read(2, 0, &fw) != 0 || board->read_reg(1, &chip) != 0) return 1;
    std::printf("reopened fw %08X chip %04X\n", static_cast<unsigned>(fw),
                static_cast<unsigned>(chip));
    return 0;
}
