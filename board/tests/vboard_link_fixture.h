// Fixture of the board link's end-to-end tests on the virtual board, linked in
// place of the USB library: the libusb-1.0 link of qv01_fm (board/tests) and
// the libusb-0.1 link of tunerdesk (classic_frontend/binding/tests). Each test
// starts on a bare FX2 just plugged in, the simple chip sending its frame
// counter at the default clock, with its USB traffic traced to a file of its
// own. GoogleTest thread only.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_link_checks.h"
#include "qv_board.h"
#include "vboard_control.h"

namespace vboard_test {

using board_test::eventually;

class VirtualBoardTest : public board_test::BoardLinkTest {
  protected:
    // The board of the binding under test, as its program opens it.
    virtual std::unique_ptr<QV_demo_board_> create() = 0;

    void SetUp() override {
        trace_ = ::testing::TempDir() + "qv_vboard_trace_" + std::to_string(getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        std::remove(trace_.c_str());
        vboard::set_trace_file("");
        vboard::set_pattern(vboard::Pattern::counter);
        vboard::set_clock_hz(vboard::kDefaultClockHz);
        vboard::reset();
        ASSERT_EQ(vboard::set_trace_file(trace_), 0);
    }
    void TearDown() override {
        board_.reset();
        vboard::set_trace_file("");
        std::remove(trace_.c_str());
    }

    // Opens board_ with create(); what it printed goes to stdout_.
    void open_board() {
        ::testing::internal::CaptureStdout();
        board_ = create();
        stdout_ = ::testing::internal::GetCapturedStdout();
        ASSERT_NE(board_, nullptr);
    }

    // Trace lines from `from` on.
    std::vector<std::string> trace(size_t from = 0) {
        std::vector<std::string> lines;
        std::ifstream in(trace_);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return from < lines.size() ? std::vector<std::string>(lines.begin() + from, lines.end())
                                   : std::vector<std::string>{};
    }

    // Every missing frame was counted as lost by the FIFO or the ring.
    void expect_losses_counted() {
        BoardLinkTest::expect_losses_counted(vboard::stats().fifo_bytes_lost);
    }

    std::string trace_;
};

}  // namespace vboard_test
