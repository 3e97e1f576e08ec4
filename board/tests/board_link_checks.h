// Checks shared by the board link's end-to-end fixtures, whatever stands below
// the USB library (the virtual board in its place, or a scripted FX2 behind
// Debian's real library): the board under test, the frame counter's stream
// read through it with every missing frame counted, and every command a board
// object can send. GoogleTest thread only.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "qv_board.h"

namespace board_test {

using ::eventually;

class BoardLinkTest : public ::testing::Test {
  protected:
    // Takes `blocks` blocks of 4096 frames and checks that the counter counts
    // up in them from next_ (from the first frame taken when next_ is unset).
    // A frame may be missing where the board's FIFO or the ring lost it: a
    // busy machine can hold the stream thread off for longer than the FIFO
    // lasts. Missing frames are added to missing_. Returns the first frame's
    // number.
    uint32_t consume(int blocks = 1) {
        std::vector<uint8_t> block(16384);
        uint32_t first = 0;
        for (int b = 0; b < blocks; ++b) {
            EXPECT_TRUE(eventually([&] { return board_->samples_available() >= 4096; }));
            EXPECT_EQ(board_->read_stream(0, 16384, block.data()), 0);
            if (b == 0) first = frame_at(block, 0);
            if (!next_) next_ = frame_at(block, 0);
            for (size_t i = 0; i < block.size(); i += 4) {
                const uint32_t n = frame_at(block, i);
                if (n < *next_) {
                    ADD_FAILURE() << "frame " << n << " arrived after frame " << *next_ - 1;
                    return first;
                }
                missing_ += n - *next_;
                next_ = n + 1;
            }
        }
        return first;
    }

    // Every frame missing from the blocks taken was counted as lost: by the
    // board's FIFO (`fifo_lost` bytes) when the stream thread was late, by the
    // ring when the consumer was. Prints the loss.
    void expect_losses_counted(uint64_t fifo_lost) {
        const uint64_t ring_dropped = board_->dropped_bytes();
        std::printf(
            "frames missing %llu before frame %u; FIFO lost %llu bytes, ring dropped %llu bytes\n",
            static_cast<unsigned long long>(missing_), next_.value_or(0),
            static_cast<unsigned long long>(fifo_lost),
            static_cast<unsigned long long>(ring_dropped));
        EXPECT_LE(4 * missing_, fifo_lost + ring_dropped);
    }

    // Everything a board object can be asked to send, with the results.
    static std::vector<int> all_commands(QV_demo_board_& b) {
        BoardDescriptor d;
        std::vector<uint8_t> bits(4);
        uint32_t v = 0;
        return {b.send_cmd1(0, 0, 2, 13),
                b.send_cmd2(10),
                b.set_lines(1, 3),
                b.bridge_write(2, 1, 0x4000),
                b.bridge_read(2, 0),
                b.bridge_read(2, 0, &v),
                b.jtag_scan(bits),
                b.get_board_descriptor(d),
                b.stream_control(1, 0),
                b.send_cmd15(0, 2),
                b.set_control_field(0, 1, 1),
                b.set_rx_mode(2),
                b.select_chip(0),
                b.write_reg(4, 1),
                b.read_reg(4),
                b.read_reg(4, &v),
                b.set_bus_timing(10),
                b.set_bus_control(1)};
    }

    static uint32_t frame_at(const std::vector<uint8_t>& b, size_t i) {
        return b[i] | b[i + 1] << 8 | b[i + 2] << 16 | static_cast<uint32_t>(b[i + 3]) << 24;
    }

    std::string stdout_;  // what opening the board printed
    std::unique_ptr<QV_demo_board_> board_;
    std::optional<uint32_t> next_;  // frame expected next in the stream
    uint64_t missing_ = 0;          // frames consume() found missing
};

}  // namespace board_test
