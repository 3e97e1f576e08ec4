// Fixture of the board link tests on the scripted FX2, for the libusb-1.0
// link (qv01_fm) and the libusb-0.1 link (tunerdesk): each test starts on a
// bare FX2 just plugged in, streaming its counter at the default rate once
// enabled. GoogleTest thread only.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_link_checks.h"
#include "qv_board.h"
#include "scripted_fx2.h"

namespace fx2test {

using board_test::eventually;

class Fx2LinkTest : public board_test::BoardLinkTest {
  protected:
    // The board of the binding under test, as its program opens it.
    virtual std::unique_ptr<QV_demo_board_> create(std::string* error) = 0;

    void SetUp() override { fx2().plug(); }
    void TearDown() override { board_.reset(); }

    static ScriptedFx2& fx2() { return ScriptedFx2::instance(); }

    // Opens board_ with create(); what it printed goes to stdout_.
    void open_board() {
        ::testing::internal::CaptureStdout();
        board_ = create(&error_);
        stdout_ = ::testing::internal::GetCapturedStdout();
        ASSERT_NE(board_, nullptr) << error_;
    }

    // Enables the stream of channel 0; the counter starts at frame 0.
    void start_stream() {
        next_ = 0;
        ASSERT_EQ(board_->stream_control(1, 0), 0);
    }

    // Every missing frame was counted as lost by the FIFO or the ring.
    void expect_losses_counted() {
        BoardLinkTest::expect_losses_counted(fx2().state().fifo_bytes_lost);
    }

    std::string error_;
};

}  // namespace fx2test
