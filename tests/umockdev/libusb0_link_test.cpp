// The board link of tunerdesk through the real libusb-0.1 (Debian's native
// 0.1.12) against the scripted FX2. Each test works in a temporary directory
// holding the project's firmware image as "proto.hex".
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "classic_board.h"
#include "fx2_link_fixture.h"

using namespace qv;
using namespace fx2test;

namespace {

class Libusb0Link : public Fx2LinkTest {
  protected:
    std::unique_ptr<QV_demo_board_> create(std::string* error) override {
        return create_classic_board(error);
    }

    void SetUp() override {
        Fx2LinkTest::SetUp();
        ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
        dir_ = ::testing::TempDir() + "umockdev_classic_" + std::to_string(getpid());
        ASSERT_EQ(std::system(("rm -rf " + dir_ + " && mkdir -p " + dir_ + " && cp " +
                               QV_SOURCE_ROOT "/fw/proto.hex " + dir_ + "/proto.hex")
                                  .c_str()),
                  0);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        Fx2LinkTest::TearDown();
        ASSERT_EQ(chdir(old_cwd_), 0);
        std::system(("rm -rf " + dir_).c_str());
    }

    char old_cwd_[4096] = {};
    std::string dir_;
};

}  // namespace

TEST_F(Libusb0Link, DownloadsTheFirmwareAndConnects) {
    open_board();
    EXPECT_EQ(stdout_, "err: 0, 1\n");
    const std::vector<std::string> log = fx2().log();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log.front(), "ctrl 40 a0 e600 0000 : 01");
    const std::vector<std::string> tail(log.end() - 5, log.end());
    const std::vector<std::string> expected = {"ctrl 40 a0 e600 0000 : 00", "config 1", "claim 0",
                                               "altsetting 0 1", "out 01 : 00 00 00 00"};
    EXPECT_EQ(tail, expected);
    const ClassicIds ids = classic_connect(*board_);
    EXPECT_EQ(ids.firmware_id, static_cast<int32_t>(kFirmwareId));
    EXPECT_EQ(ids.device_id, kChipDeviceId);
    BoardDescriptor d;
    EXPECT_EQ(board_->get_board_descriptor(d), 0);
    EXPECT_EQ(d.vendor, kFx2Vendor);  // read from the device descriptor
    EXPECT_EQ(d.product, kFx2Product);
}

TEST_F(Libusb0Link, StreamsIntoTheRingAtThePacedRate) {
    open_board();
    const auto t0 = std::chrono::steady_clock::now();
    start_stream();
    consume(40);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    expect_losses_counted();
    const double rate = *next_ / seconds;
    std::printf("%u frames in %.3f s: %.0f frames/s (paced at %.0f)\n", *next_, seconds, rate,
                kDefaultFrameRate);
    EXPECT_LT(missing_, *next_ / 2);
    EXPECT_GT(rate, kDefaultFrameRate / 4);
    EXPECT_LT(rate, kDefaultFrameRate * 2);
}

// libusb-0.1 reports a stalled bulk endpoint as a transfer of 0 bytes; the
// binding asks the endpoint and reports -EPIPE, as the libusb-1.0 link does:
// the stream thread pauses between attempts instead of spinning, and a
// command fails with -EPIPE, not as a message the board took only in part.
TEST_F(Libusb0Link, StalledEndpoints) {
    open_board();
    ASSERT_EQ(board_->write_reg(0x2A, 0x1111), 0);
    start_stream();
    consume(2);

    fx2().halt(kEpStreamIn);
    const uint64_t before = fx2().state().halted_urbs;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const uint64_t stalls = fx2().state().halted_urbs - before;
    std::printf("stream reads on the stalled endpoint in 500 ms: %llu\n",
                static_cast<unsigned long long>(stalls));
    EXPECT_GE(stalls, 1u);
    EXPECT_LT(stalls, 250u);  // 10 ms apart: about 50
    EXPECT_FALSE(board_->device_lost());
    EXPECT_FALSE(board_->stream_thread_ended());
    EXPECT_EQ(board_->read_reg(0x2A), 0x1111);

    fx2().halt(kEpCommandOut);
    const uint64_t commands = fx2().state().commands;
    EXPECT_EQ(board_->write_reg(0x2A, 0x2222), -EPIPE);
    EXPECT_EQ(board_->read_reg(0x2A), -EPIPE);
    EXPECT_EQ(fx2().state().commands, commands);
    EXPECT_EQ(fx2().chip_register(0x2A), 0x1111);
    EXPECT_FALSE(board_->device_lost());
}

TEST_F(Libusb0Link, ShortMissingAndLateReplies) {
    open_board();
    ASSERT_EQ(board_->write_reg(0x2A, 0x1111), 0);
    ASSERT_EQ(board_->write_reg(0x2B, 0x2222), 0);
    uint32_t value = 0xDEAD;

    fx2().short_next_reply(4);
    EXPECT_EQ(board_->bridge_read(2, 0, &value), -EPROTO);
    EXPECT_EQ(value, 0xDEADu);
    EXPECT_EQ(board_->read_reg(0x2B), 0x2222);

    fx2().withhold_next_command();
    EXPECT_EQ(board_->write_reg(0x2B, 0x3333), -ETIMEDOUT);
    EXPECT_EQ(fx2().chip_register(0x2B), 0x2222);
    EXPECT_EQ(board_->write_reg(0x2B, 0x3333), 0);

    fx2().withhold_next_reply();
    EXPECT_EQ(board_->read_reg(0x2B, &value), -ETIMEDOUT);
    EXPECT_EQ(board_->read_reg(0x2A), 0x1111);

    fx2().delay_next_reply(450);
    EXPECT_EQ(board_->bridge_read(2, 0, &value), -ETIMEDOUT);
    EXPECT_EQ(board_->read_reg(0x2B, &value), 0);
    EXPECT_EQ(value, 0x3333u);
    EXPECT_EQ(board_->bridge_read(2, 0), static_cast<int>(kFirmwareId));
    EXPECT_FALSE(board_->device_lost());
}

// Gone while streaming: libusb-0.1 gives the read in flight back with 0
// bytes; the binding tells that from "no data yet", so the stream thread ends
// and the board is lost; every command then returns -19 and sends nothing.
// The bus walk finds nothing until the board is back.
TEST_F(Libusb0Link, DeviceGoneMidStreamThenBack) {
    open_board();
    start_stream();
    consume(5);
    fx2().unplug();
    ASSERT_TRUE(eventually([&] { return board_->device_lost() && board_->stream_thread_ended(); }));
    const uint64_t refused = fx2().state().no_device_refusals;
    EXPECT_LE(refused, 2u);
    for (int rc : all_commands(*board_)) EXPECT_EQ(rc, kErrDeviceLost);
    EXPECT_EQ(fx2().state().no_device_refusals, refused);
    board_.reset();

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(create_classic_board(&error_), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "not found\nBye!\n");
    EXPECT_EQ(error_, "");

    fx2().plug();
    open_board();
    EXPECT_EQ(classic_connect(*board_).device_id, kChipDeviceId);
    start_stream();
    consume(2);
}

// The GUI thread's commands and the stream thread's reads share the one
// handle, which libusb-0.1.12 alone does not carry (see TransferGate in the
// binding): every command gets its own answer, with the stream idle (its
// reads time out and are discarded) and while it flows, and no stream
// transfer goes missing unnoticed.
TEST_F(Libusb0Link, CommandsWhileTheStreamThreadReads) {
    open_board();
    auto exchange = [&](int rounds) {
        int failures = 0;
        for (int i = 0; i < rounds; ++i) {
            const int value = (i * 37) & 0xFFFF;
            if (board_->write_reg(0x40 + i % 16, value) != 0) ++failures;
            if (board_->read_reg(0x40 + i % 16) != value) ++failures;
        }
        return failures;
    };
    EXPECT_EQ(exchange(400), 0);

    start_stream();
    consume(1);
    std::atomic<bool> done{false};
    int failures = 0;
    std::thread gui([&] {
        failures = exchange(200);
        done = true;
    });
    while (!done) consume(1);
    gui.join();
    consume(4);
    EXPECT_EQ(failures, 0);
    expect_losses_counted();
}

// The bus walk finds the device, but its node may only be read (no udev
// rule): the attempt names the device instead of "not found" and sends
// nothing.
TEST_F(Libusb0Link, OpenWithoutPermission) {
    open_board();  // the library starts up with the process's own rights
    board_.reset();
    fx2().plug();
    fx2().deny_access(true);
    ::testing::internal::CaptureStderr();
    std::unique_ptr<QV_demo_board_> board = as_unprivileged([&] { return create(&error_); });
    const std::string err = ::testing::internal::GetCapturedStderr();
    fx2().deny_access(false);
    EXPECT_EQ(board, nullptr);
    EXPECT_EQ(err, "");
    EXPECT_EQ(error_, "No permission to open the USB device 04b4:8613 (bus 1 device " +
                          std::to_string(fx2().state().devnum) +
                          "): install the udev rule (see README) and plug the board in again");
    EXPECT_EQ(fx2().log(), std::vector<std::string>{});
    open_board();
}
