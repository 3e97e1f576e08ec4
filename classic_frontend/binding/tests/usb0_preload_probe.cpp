// A small program linked against the real libusb-0.1 (-lusb) that connects the
// classic board and takes one block of its stream: run under qv-virtual-board
// it must reach the virtual board. Expects "proto.hex" in the working directory
// and the board's counter pattern. Prints "fw XXXXXXXX chip XXXX block N..M"
// and exits 0, or exits 1 (2 when the frames do not count up).
// With the argument "replug" it then waits (at most 20 s each) until the board
// is lost and until a new board can be created, and prints "lost" and
// "reconnected fw XXXXXXXX chip XXXX" (exit 3 when a step does not happen).
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "classic_board.h"
#include "eventually.h"

namespace {

// Each step (lost, back) within 20 s, asked every 20 ms: the classic bus walk
// prints a line for every look that finds no board.
constexpr std::chrono::seconds kStepLimit{20};
constexpr std::chrono::milliseconds kPoll{20};

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const bool replug = argc > 1 && std::string(argv[1]) == "replug";
    std::unique_ptr<QV_demo_board_> board = create_classic_board();
    if (!board) return 1;
    const ClassicIds ids = classic_connect(*board);

    // Channel 0 at 66 MHz / 324, receiver and stream on.
    board->write_reg(qv01::reg_addr(0, qv01::kOffCic2), 80 << 8);
    board->write_reg(qv01::reg_addr(0, qv01::kOffCicn), 3 << 8);
    board->write_reg(qv01::reg_addr(0, qv01::kOffDfir1Ctl), 0);
    board->write_reg(qv01::reg_addr(0, qv01::kOffDfir2Ctl), 0);
    board->stream_control(1, 0);
    board->write_reg(qv01::kRegControl, 0x8001);
    for (int i = 0; i < 500 && board->samples_available() < 4096; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::vector<unsigned char> block(16384);
    if (board->read_stream(0, 16384, block.data()) != 0) return 1;
    auto frame = [&](size_t k) {
        const unsigned char* p = &block[4 * k];
        return p[0] | p[1] << 8 | p[2] << 16 | static_cast<unsigned>(p[3]) << 24;
    };
    for (size_t k = 1; k < 4096; ++k)
        if (frame(k) != frame(0) + k) return 2;
    std::printf("fw %08X chip %04X block %u..%u\n", static_cast<unsigned>(ids.firmware_id),
                static_cast<unsigned>(ids.device_id), frame(0), frame(4095));
    if (replug) {
        if (!eventually([&] { return board->device_lost() && board->stream_thread_ended(); },
                        kStepLimit, kPoll))
            return 3;
        std::printf("lost\n");
        board.reset();
        // The bus walk finds nothing ("not found", "Bye!") until the board is back.
        if (!eventually([&] { return (board = create_classic_board()) != nullptr; }, kStepLimit,
                        kPoll))
            return 3;
        const ClassicIds again = classic_connect(*board);
        std::printf("reconnected fw %08X chip %04X\n", static_cast<unsigned>(again.firmware_id),
                    static_cast<unsigned>(again.device_id));
    }
    board.reset();  // stops the stream thread, then closes the device
    return 0;
}
