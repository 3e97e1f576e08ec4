// The board link end to end against the virtual board (linked in place of
// libusb-1.0). Runs with the working directory run/, so that create_board
// finds "../fw/proto.hex".
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "qv_board.h"
#include "usb_port_libusb1.h"
#include "vboard_control.h"
#include "vboard_link_fixture.h"

using namespace qv;
using vboard_test::eventually;
using Bytes = std::vector<uint8_t>;

namespace {

BoardDescriptor fx2() {
    BoardDescriptor d;
    d.vendor = kFx2Vendor;
    d.product = kFx2Product;
    return d;
}

class VirtualBoardLink : public vboard_test::VirtualBoardTest {
  protected:
    std::unique_ptr<QV_demo_board_> create() override { return create_board(fx2()); }

    // Channel 0 at a decimation of 324 (about 204 kframes/s), then the start
    // sequence; the counter starts at frame 0.
    void start_stream() {
        next_ = 0;
        board_->write_reg(qv01::reg_addr(0, qv01::kOffCic2), 0x8200 | 10);
        board_->write_reg(qv01::reg_addr(0, qv01::kOffCicn), (1 << 14) | (26 << 8) | 0x14);
        board_->write_reg(qv01::reg_addr(0, qv01::kOffDfir1Ctl), 1);
        board_->write_reg(qv01::reg_addr(0, qv01::kOffDfir2Ctl), 1);
        if (board_->profile().keep_chip_shadow) {
            EXPECT_EQ(board_->decimation(), 324);
        }
        board_->write_reg(qv01::kRegFlagClear, 0xFFFF);
        board_->set_rx_mode(2);
        board_->write_reg(qv01::kRegControl, 0x8002);
        board_->write_reg(qv01::kRegControl, 0x8004);
        board_->write_reg(qv01::kRegControl, 0x8100);
        ASSERT_EQ(board_->stream_control(1, 0), 0);
        board_->write_reg(qv01::kRegControl, 0x8001);
    }
};

}  // namespace

TEST_F(VirtualBoardLink, DownloadsFirmwareAndBoardStarts) {
    open_board();
    EXPECT_NE(stdout_.find("err: 0, 1\n"), std::string::npos);
    const vboard::Stats st = vboard::stats();
    EXPECT_TRUE(st.cpu_running);
    EXPECT_NE(st.firmware_id, 0u);

    const std::vector<std::string> t = trace();
    ASSERT_GE(t.size(), 7u);
    EXPECT_EQ(t[0], "open 04b4 8613");
    EXPECT_EQ(t[1], "ctrl 40 a0 e600 0000 : 01");
    size_t i = 2;
    long last = -1;
    for (; i < t.size() && t[i].rfind("ctrl 40 a0 e600", 0) != 0; ++i) {
        ASSERT_EQ(t[i].rfind("ctrl 40 a0 ", 0), 0u) << t[i];
        const long addr = std::stol(t[i].substr(11, 4), nullptr, 16);
        EXPECT_GT(addr, last);
        EXPECT_EQ(addr % 16, 0);
        EXPECT_EQ(t[i].size(), std::string("ctrl 40 a0 0000 0000 :").size() + 16 * 3) << t[i];
        last = addr;
    }
    EXPECT_GT(last, -1);  // the image has code
    const std::vector<std::string> tail(t.begin() + i, t.end());
    const std::vector<std::string> expected = {"ctrl 40 a0 e600 0000 : 00", "config 1", "claim 0",
                                               "altsetting 0 1", "out 01 : 00 00 00 00"};
    EXPECT_EQ(tail, expected);
}

TEST_F(VirtualBoardLink, ConnectSequenceOnTheWire) {
    open_board();
    const size_t mark = trace().size();
    BoardDescriptor d = fx2();
    board_->send_cmd2(10);
    board_->send_cmd15(0, 2);
    board_->get_board_descriptor(d);
    board_->send_cmd1(0, 0, 2, 13);
    board_->bridge_write(2, 1, 0x4000);
    board_->select_chip(0);
    board_->set_bus_timing(10);
    const int fw_id = board_->bridge_read(2, 0);
    const int chip_id = board_->read_reg(1);
    board_->set_lines(1, kLineNLoad);
    board_->set_lines(1, kLineNMisk);

    const vboard::Stats st = vboard::stats();
    EXPECT_EQ(static_cast<uint32_t>(fw_id), st.firmware_id);
    EXPECT_EQ(chip_id, vboard::kSimpleChipDeviceId);
    EXPECT_EQ(d.firmware_version, st.firmware_version);
    EXPECT_EQ(d.vendor, 0x04B4);
    EXPECT_EQ(d.description, "TODO: String descriptor is yet unimplemented");
    EXPECT_EQ(st.lines, 3u);
    EXPECT_EQ(st.bus_cycles, 1);

    std::vector<std::string> t = trace(mark);
    // Replies carry board data; keep only their heads.
    for (std::string& line : t)
        if (line.rfind("in 81", 0) == 0) line = line.substr(0, 5);
    const std::vector<std::string> expected = {
        "out 01 : 02 0a 00 00",
        "out 01 : 0f 00 02 00",
        "out 01 : 0c 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "in 81",
        "out 01 : 01 00 00 02 0d 00",
        "out 01 : 04 02 01 00 40 00 00",
        "out 01 : 04 01 01 00 00 00 00",
        "out 01 : 0e 01 00 00",
        "out 01 : 05 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "in 81",
        "out 01 : 04 00 00 01 00 00 00",
        "out 01 : 05 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "in 81",
        "out 01 : 03 01 00 02 00 00 00",
        "out 01 : 03 01 00 01 00 00 00",
    };
    EXPECT_EQ(t, expected);
}

TEST_F(VirtualBoardLink, RegistersControlAndJtag) {
    open_board();
    board_->write_reg(4, 0xFFFF);
    EXPECT_EQ(vboard::chip_register(4), 0xFFFF);
    EXPECT_EQ(board_->shadow_reg(4), -1);
    EXPECT_EQ(board_->read_reg(4), 0xFFFF);
    board_->set_rx_mode(4);
    EXPECT_EQ(vboard::stats().board_control, 0xEu);
    board_->set_bus_timing(5000);
    EXPECT_EQ(vboard::stats().bus_cycles, 14);

    // The JTAG chain is a shift register: what went in comes out 8 bytes
    // later, across chunk boundaries.
    Bytes bits(130);
    for (size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<uint8_t>(i * 7 + 1);
    const Bytes sent = bits;
    const size_t mark = trace().size();
    EXPECT_EQ(board_->jtag_scan(bits), 0);
    for (size_t k = 8; k < bits.size(); ++k) EXPECT_EQ(bits[k], sent[k - 8]) << k;
    const std::vector<std::string> t = trace(mark);
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[0].rfind("out 01 : 07 3e 01 08", 0), 0u);
    EXPECT_EQ(t[2].rfind("out 01 : 07 3e", 0), 0u);
    EXPECT_EQ(t[4].rfind("out 01 : 07 06", 0), 0u);
}

// A lost command phase ends the operation with its error: nothing lands in
// the register the bridge had latched before, and the next access is right.
TEST_F(VirtualBoardLink, LostCommandPhaseLandsNowhere) {
    open_board();
    ASSERT_EQ(board_->write_reg(0x2A, 0x1111), 0);
    ASSERT_EQ(board_->write_reg(0x2B, 0x2222), 0);
    ASSERT_EQ(board_->write_reg(0x2A, 0x1111), 0);  // the bridge latches 0x2A

    vboard::stall_next_command();  // the address phase of the next write
    EXPECT_EQ(board_->write_reg(0x2B, 0x3333), -ETIMEDOUT);
    EXPECT_EQ(vboard::chip_register(0x2A), 0x1111);
    EXPECT_EQ(vboard::chip_register(0x2B), 0x2222);
    EXPECT_EQ(board_->shadow_reg(0x2B), 0x2222);
    EXPECT_EQ(board_->write_reg(0x2B, 0x3333), 0);
    EXPECT_EQ(vboard::chip_register(0x2A), 0x1111);
    EXPECT_EQ(vboard::chip_register(0x2B), 0x3333);
    EXPECT_EQ(board_->shadow_reg(0x2B), 0x3333);

    // The same for a read: no other register's value comes back.
    uint32_t value = 0xDEAD;
    vboard::stall_next_command();
    EXPECT_EQ(board_->read_reg(0x2A, &value), -ETIMEDOUT);
    EXPECT_EQ(value, 0xDEADu);
    EXPECT_EQ(board_->read_reg(0x2A, &value), 0);
    EXPECT_EQ(value, 0x1111u);
    vboard::stall_next_reply();
    EXPECT_EQ(board_->read_reg(0x2B, &value), -ETIMEDOUT);
    EXPECT_EQ(board_->read_reg(0x2A), 0x1111);
    EXPECT_EQ(board_->read_reg(0x2B), 0x3333);
}

// A short or late reply is an error, and the following read gets its own
// answer, not the late one.
TEST_F(VirtualBoardLink, ShortAndLateRepliesAreErrors) {
    open_board();
    ASSERT_EQ(board_->write_reg(0x2B, 0x3333), 0);
    const uint32_t fw_id = vboard::stats().firmware_id;
    uint32_t value = 0;

    vboard::short_next_reply(4);
    EXPECT_EQ(board_->bridge_read(2, 0, &value), -EPROTO);
    EXPECT_EQ(board_->read_reg(0x2B, &value), 0);
    EXPECT_EQ(value, 0x3333u);

    vboard::delay_next_reply(450);  // past the 300 ms the host waits
    EXPECT_EQ(board_->bridge_read(2, 0, &value), -ETIMEDOUT);
    EXPECT_EQ(board_->read_reg(0x2B, &value), 0);
    EXPECT_EQ(value, 0x3333u);
    EXPECT_EQ(board_->bridge_read(2, 0), static_cast<int>(fw_id));

    // The bridge's own error status is reported and is no link failure.
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(board_->bridge_read(7, 0, &value), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "STATUS!=0: 8001\n");
}

// Unplugged while streaming: the stream thread ends at the first failed read
// instead of polling, the board is lost, and every command returns -ENODEV
// without reaching the USB; the bytes that arrived before stay readable.
// Plugged in again, a new board object works.
TEST_F(VirtualBoardLink, UnplugWhileStreamingThenReplug) {
    open_board();
    EXPECT_FALSE(board_->device_lost());
    start_stream();
    consume(5);
    vboard::unplug();
    ASSERT_TRUE(eventually([&] { return board_->device_lost() && board_->stream_thread_ended(); }));
    const uint64_t refused = vboard::stats().no_device_refusals;
    EXPECT_LE(refused, 2u);  // the read in flight, perhaps one more: no polling
    const size_t mark = trace().size();
    for (int rc : all_commands(*board_)) EXPECT_EQ(rc, -ENODEV);
    EXPECT_EQ(vboard::stats().no_device_refusals, refused);  // nothing reached the board
    EXPECT_EQ(trace().size(), mark);
    const int queued = board_->bytes_available(0);
    std::vector<uint8_t> rest(queued);
    EXPECT_EQ(board_->read_stream(0, queued, rest.data()), 0);
    board_.reset();  // quick: the thread has already ended
    EXPECT_EQ(vboard::stats().no_device_refusals, refused);

    vboard::reset();  // plugged in again: a bare FX2
    open_board();
    EXPECT_EQ(board_->read_reg(1), vboard::kSimpleChipDeviceId);
    start_stream();
    consume(2);
}

TEST_F(VirtualBoardLink, AnyCommandThatFindsTheBoardGoneMarksItLost) {
    open_board();
    vboard::unplug();
    EXPECT_EQ(board_->write_reg(4, 1), -ENODEV);
    EXPECT_TRUE(board_->device_lost());
    EXPECT_TRUE(eventually([&] { return board_->stream_thread_ended(); }));
    EXPECT_EQ(board_->read_reg(4), -ENODEV);
}

// Every frame arrives in order, or is counted as lost: by the board's FIFO
// when the stream thread was late, or by the ring when the consumer was. On
// an idle machine nothing is lost at this rate; a busy one may starve the
// threads for longer than the FIFO's 40 ms, so the loss is printed, and only
// bounded by what was counted.
TEST_F(VirtualBoardLink, StreamsTheCounterInOrderAndCountsEveryLoss) {
    open_board();
    start_stream();
    consume(40);
    expect_losses_counted();
    const uint32_t next = *next_;
    EXPECT_LT(missing_, next / 2);
    // Destroying the board while it streams stops and joins the thread.
    board_.reset();
    const uint64_t delivered = vboard::stats().fifo_bytes_delivered;
    EXPECT_GE(delivered, uint64_t{next} * 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(vboard::stats().fifo_bytes_delivered, delivered);  // nobody reads any more
}

// A stream read that ends in a timeout after part of its data: qv01_fm keeps
// those bytes, the classic profile does not. Every other byte the board
// delivered ends up in the ring.
TEST_F(VirtualBoardLink, BytesOfATimedOutStreamRead) {
    for (const LinkProfile* profile : {&kLibusb1Profile, &kClassicProfile}) {
        SCOPED_TRACE(profile == &kLibusb1Profile ? "libusb-1.0 profile" : "classic profile");
        vboard::reset();
        board_ = create_board_on(open_libusb1_port(kFx2Vendor, kFx2Product), "../fw/proto.hex",
                                 *profile);
        ASSERT_NE(board_, nullptr);
        start_stream();
        consume(2);
        const uint64_t consumed = 2 * 16384;  // two blocks taken from the ring
        vboard::cut_next_stream_read(1000);
        // The cut read waits out its timeout; meanwhile the board's FIFO overflows.
        EXPECT_TRUE(eventually([] { return vboard::stats().fifo_bytes_lost > 0; }));
        board_->stream_control(0, 0);
        board_->write_reg(qv01::kRegControl, 0x8000);
        EXPECT_TRUE(eventually([] { return vboard::stats().fifo_level == 0; }));
        const uint64_t delivered = vboard::stats().fifo_bytes_delivered;
        const uint64_t expected = profile == &kLibusb1Profile ? delivered : delivered - 1000;
        EXPECT_TRUE(eventually([&] {
            return consumed + board_->bytes_available(0) + board_->dropped_bytes() == expected;
        })) << "ring holds "
            << consumed + board_->bytes_available(0) << " of " << delivered;
        board_.reset();
    }
}

TEST_F(VirtualBoardLink, NoBoardWithoutDeviceOrFirmware) {
    vboard::unplug();
    std::string error = "stale";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(create_board(fx2(), &error), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(error, "");  // no device: nothing to explain beyond "not found"
    vboard::reset();

    // A working directory without ../fw/proto.hex.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string dir = ::testing::TempDir() + "qv_board_nofw_" + std::to_string(getpid());
    ASSERT_EQ(system(("mkdir -p " + dir + "/work").c_str()), 0);
    ASSERT_EQ(chdir((dir + "/work").c_str()), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(create_board(fx2(), &error), nullptr);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(err, "Hex file could not be opened\n" + error + "\n");
    EXPECT_NE(error.find("\"" + dir + "/fw/proto.hex\" could not be opened"), std::string::npos)
        << error;
    EXPECT_NE(error.find("(working directory: " + dir + "/work)"), std::string::npos) << error;
    const std::vector<std::string> expected = {"open 04b4 8613", "close"};
    EXPECT_EQ(trace(), expected);  // nothing sent, handle closed
    EXPECT_FALSE(vboard::stats().cpu_running);
}

// The board is on the bus but its node may not be opened (no udev rule): the
// attempt names the device instead of "not found", sends nothing, and the
// same call opens the board once access is granted.
TEST_F(VirtualBoardLink, NoPermissionToOpenTheBoard) {
    struct Allow {
        ~Allow() { vboard::deny_open(false); }
    } allow_at_exit;
    vboard::deny_open(true);
    std::string error;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(create_board(fx2(), &error), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(error,
              "No permission to open the USB device 04b4:8613 (bus 1 device 2): install the udev "
              "rule (see README) and plug the board in again");
    EXPECT_EQ(trace(), std::vector<std::string>{});
    EXPECT_EQ(open_libusb1_port(kFx2Vendor, kFx2Product), nullptr);

    vboard::deny_open(false);
    open_board();
    EXPECT_EQ(trace().front(), "open 04b4 8613");
}

// board_instance() keeps the result of its attempt until a reopen replaces
// it; each case runs in a fresh process of its own.
TEST(BoardInstance, KeepsTheFirstBoard) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            vboard::reset();
            ::testing::internal::CaptureStdout();
            QV_demo_board_* first = board_instance();
            QV_demo_board_* again = board_instance();
            QV_demo_board_* kept = reopen_board_instance();  // healthy: kept
            std::_Exit(first != nullptr && first == again && kept == first ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(BoardInstance, KeepsNoBoardUntilReopened) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            vboard::reset();
            vboard::unplug();
            ::testing::internal::CaptureStdout();
            QV_demo_board_* first = board_instance();
            vboard::reset();  // the board appears later: not tried again ...
            QV_demo_board_* again = board_instance();
            QV_demo_board_* reopened = reopen_board_instance();  // ... until asked to
            const bool ok = first == nullptr && again == nullptr && reopened != nullptr &&
                            board_instance() == reopened && board_instance_error().empty();
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// A lost board is dropped and opened again once the device is back; while it
// is away the reopen finds nothing and says nothing beyond that.
TEST(BoardInstance, ReopensALostBoard) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            vboard::reset();
            ::testing::internal::CaptureStdout();
            QV_demo_board_* first = board_instance();
            if (!first) std::_Exit(2);
            vboard::unplug();
            if (first->read_reg(1) != -ENODEV || !first->device_lost()) std::_Exit(3);
            if (reopen_board_instance() != nullptr || !board_instance_error().empty())
                std::_Exit(4);
            vboard::reset();
            QV_demo_board_* second = reopen_board_instance();
            if (!second || second->device_lost() || board_instance() != second) std::_Exit(5);
            std::_Exit(second->read_reg(1) == vboard::kSimpleChipDeviceId ? 0 : 6);
        },
        ::testing::ExitedWithCode(0), "");
}

// Without permission the attempt leaves the reason for the GUI (qv01_fm shows it).
TEST(BoardInstance, KeepsTheReasonForNoPermission) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            vboard::reset();
            vboard::deny_open(true);
            const bool none = board_instance() == nullptr && reopen_board_instance() == nullptr;
            std::_Exit(none && board_instance_error().rfind("No permission to open the USB "
                                                            "device 04b4:8613 (bus 1 device 2)",
                                                            0) == 0
                           ? 0
                           : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Without its firmware file the attempt leaves the reason for the GUI.
TEST(BoardInstance, KeepsTheReasonOfAFailedAttempt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            vboard::reset();
            if (chdir("/") != 0) std::_Exit(2);
            ::testing::internal::CaptureStderr();
            const bool none = board_instance() == nullptr;
            const std::string& error = board_instance_error();
            std::_Exit(none && error.find("\"/fw/proto.hex\" could not be opened") !=
                                   std::string::npos
                           ? 0
                           : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
