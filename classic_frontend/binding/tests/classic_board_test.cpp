// The classic board end to end: the libusb-0.1 binding against the virtual
// board's libusb-0.1 face (linked in place of libusb-0.1), checked through the
// board's protocol trace. Each test runs in a temporary working directory that
// holds a copy of the project's firmware image as "proto.hex".
#include "classic_board.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <usb.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "vboard_control.h"
#include "vboard_link_fixture.h"

using namespace qv;
using vboard_test::eventually;

namespace {

class ClassicBoard : public vboard_test::VirtualBoardTest {
  protected:
    std::unique_ptr<QV_demo_board_> create() override { return create_classic_board(); }

    void SetUp() override {
        VirtualBoardTest::SetUp();
        ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
        dir_ = ::testing::TempDir() + "classic_board_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
               std::to_string(getpid());
        ASSERT_EQ(std::system(("rm -rf " + dir_ + " && mkdir -p " + dir_ + "/empty && cp " +
                               QV_SOURCE_ROOT "/fw/proto.hex " + dir_ + "/proto.hex")
                                  .c_str()),
                  0);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        VirtualBoardTest::TearDown();
        ASSERT_EQ(chdir(old_cwd_), 0);
        std::system(("rm -rf " + dir_).c_str());
    }

    // Channel 0 at 66 MHz / (cic2 * cicn), receiver and stream on; the counter
    // pattern starts at frame 0 with the receiver.
    void start_stream(int cic2, int cicn) {
        next_ = 0;
        board_->write_reg(qv01::reg_addr(0, qv01::kOffCic2), (cic2 - 1) << 8);
        board_->write_reg(qv01::reg_addr(0, qv01::kOffCicn), (cicn - 1) << 8);
        board_->write_reg(qv01::reg_addr(0, qv01::kOffDfir1Ctl), 0);
        board_->write_reg(qv01::reg_addr(0, qv01::kOffDfir2Ctl), 0);
        ASSERT_EQ(board_->stream_control(1, 0), 0);
        board_->write_reg(qv01::kRegControl, 0x8001);
    }

    char old_cwd_[4096] = {};
    std::string dir_;
};

}  // namespace

TEST_F(ClassicBoard, FindsOpensAndBringsUpTheBoard) {
    open_board();
    EXPECT_EQ(stdout_, "err: 0, 1\n");  // end of the HEX file; no "thread created"
    EXPECT_TRUE(vboard::stats().cpu_running);

    const std::vector<std::string> t = trace();
    ASSERT_GE(t.size(), 8u);
    EXPECT_EQ(t[0], "open 04b4 8613");
    EXPECT_EQ(t[1], "ctrl 40 a0 e600 0000 : 01");
    const std::vector<std::string> tail(t.end() - 5, t.end());
    const std::vector<std::string> expected = {"ctrl 40 a0 e600 0000 : 00", "config 1", "claim 0",
                                               "altsetting 0 1", "out 01 : 00 00 00 00"};
    EXPECT_EQ(tail, expected);

    // Vendor and product come from the device descriptor of the opened device.
    BoardDescriptor d;
    EXPECT_EQ(board_->get_board_descriptor(d), 0);
    EXPECT_EQ(d.vendor, 0x04B4);
    EXPECT_EQ(d.product, 0x8613);
    EXPECT_EQ(d.firmware_version, vboard::stats().firmware_version);

    board_.reset();
    EXPECT_EQ(trace().back(), "close");
}

TEST_F(ClassicBoard, NoBoardWhenUnpluggedOrFirmwareMissing) {
    vboard::unplug();
    std::string error = "stale";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(create_classic_board(&error), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "not found\nBye!\n");
    EXPECT_EQ(error, "");  // the form says "not found" itself
    EXPECT_TRUE(trace().empty());

    vboard::reset();
    ASSERT_EQ(chdir("empty"), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(create_classic_board(&error), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Hex file could not be opened\n" + error + "\n");
    EXPECT_EQ(error, "The firmware file \"" + dir_ +
                         "/empty/proto.hex\" could not be opened: No such file or directory "
                         "(working directory: " +
                         dir_ + "/empty).");
    const std::vector<std::string> expected = {"open 04b4 8613", "close"};
    EXPECT_EQ(trace(), expected);

    // A bad image is refused before anything is sent to the board.
    std::ofstream("proto.hex") << ":00000001FF\n";
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(create_classic_board(&error), nullptr);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "err: 0, 1\n");
    EXPECT_NE(error.find("not a valid Intel HEX image: no data record"), std::string::npos)
        << error;
    const std::vector<std::string> twice = {"open 04b4 8613", "close", "open 04b4 8613", "close"};
    EXPECT_EQ(trace(), twice);
    EXPECT_FALSE(vboard::stats().cpu_running);
}

TEST_F(ClassicBoard, ConnectSequenceOnTheWire) {
    open_board();
    const size_t mark = trace().size();
    const ClassicIds ids = classic_connect(*board_);
    EXPECT_EQ(static_cast<uint32_t>(ids.firmware_id), vboard::stats().firmware_id);
    EXPECT_EQ(ids.device_id, vboard::kSimpleChipDeviceId);
    EXPECT_EQ(vboard::stats().bus_cycles, 1);

    std::vector<std::string> t = trace(mark);
    for (std::string& line : t)
        if (line.rfind("in 81", 0) == 0) line = line.substr(0, 5);  // replies carry board data
    const std::vector<std::string> expected = {
        "out 01 : 02 0a 00 00",
        "out 01 : 05 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "in 81",
        "out 01 : 01 00 00 00 0d 00",
        "out 01 : 04 01 01 00 00 00 00",
        "out 01 : 0e 01 00 00",
        "out 01 : 04 00 00 01 00 00 00",
        "out 01 : 05 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "in 81",
    };
    EXPECT_EQ(t, expected);
}

TEST_F(ClassicBoard, ClassicErrorNumbersNoShadowAndBusControl) {
    open_board();
    const size_t mark = trace().size();
    std::vector<uint8_t> buf(16);
    EXPECT_EQ(board_->stream_control(1, 4), -19);
    EXPECT_EQ(board_->stream_control(-1, 0), -19);
    EXPECT_EQ(board_->select_chip(8), -19);
    EXPECT_EQ(board_->read_stream(1, 4, buf.data()), -19);
    EXPECT_EQ(board_->read_stream(0, 16, buf.data()), -19);  // nothing queued
    for (int rc : {board_->reserved_slot1(), board_->reserved_slot2(), board_->reserved_slot3(),
                   board_->reserved_slot4(), board_->reserved_slot5(), board_->reserved_slot6(),
                   board_->reserved_slot7()})
        EXPECT_EQ(rc, -123456);
    EXPECT_TRUE(trace(mark).empty());  // refused calls send nothing

    // The chip gets the value; the board keeps no copy of it.
    board_->write_reg(4, 0xFFFF);
    EXPECT_EQ(vboard::chip_register(4), 0xFFFF);
    EXPECT_EQ(board_->shadow_reg(4), 0);
    EXPECT_EQ(board_->read_reg(4), 0xFFFF);

    const size_t mark2 = trace().size();
    board_->set_bus_control(4);
    board_->select_chip(1);
    board_->set_bus_control(0x12345678);
    const std::vector<std::string> expected = {"out 01 : 04 00 02 04 00 00 00",
                                               "out 01 : 04 01 01 01 00 00 00",
                                               "out 01 : 04 00 06 78 56 34 12"};
    EXPECT_EQ(trace(mark2), expected);
}

// The producer asks for 1024 bytes per read, so it wraps to the ring's start
// once fewer than 1024 bytes remain before its end: the wrap end lies in the
// last 1024 bytes (2048-byte reads would wrap a KiB earlier).
TEST_F(ClassicBoard, StreamReadsOf1024BytesFillTheRing) {
    open_board();
    start_stream(66, 4);  // 250 k frames/s
    ASSERT_TRUE(eventually([&] { return board_->ring_state().wrap_end != kRingInitialWrapEnd; }));
    const UC_IBus_::RingState st = board_->ring_state();
    EXPECT_GE(st.wrap_end, kRingBytes - 1024);
    EXPECT_LT(st.wrap_end, kRingBytes);
    EXPECT_EQ(st.write_position, 0);

    // The ring was full up to the wrap end, in order from frame 0; later
    // transfers only land once the consumer has made room at the start.
    EXPECT_EQ(st.count, st.wrap_end);
    EXPECT_EQ(consume(), 0u);
    for (int b = 1; b < st.wrap_end / 16384; ++b) consume();
    expect_losses_counted();
}

// Connect and disconnect while the stream runs: destroying the board stops
// its stream thread inside a read and closes the device only after it. The
// last round pulls the cable first, so the thread is failing its reads.
TEST_F(ClassicBoard, ReconnectWhileStreaming) {
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        open_board();
        const ClassicIds ids = classic_connect(*board_);
        EXPECT_EQ(ids.device_id, vboard::kSimpleChipDeviceId);
        start_stream(81, 4);  // about 204 k frames/s
        // The receiver ran on through the disconnect: the counter goes on
        // from the last round.
        if (round > 0) next_.reset();
        consume();
        consume();
        expect_losses_counted();
        if (round == 3) vboard::unplug();
        board_.reset();
        EXPECT_EQ(trace().back(), "close");
        if (round < 3) {
            EXPECT_TRUE(vboard::stats().stream_enabled);  // left on by the disconnect
        }
    }
}

// Unplugged while streaming: the classic board is lost at the stream
// thread's first failed read, which ends the thread; every command returns
// -19 and sends nothing. Once the board is back (a bare FX2) a new board
// object is found on the bus and brought up again.
TEST_F(ClassicBoard, UnplugWhileStreamingThenReconnect) {
    open_board();
    classic_connect(*board_);
    start_stream(81, 4);
    consume();
    expect_losses_counted();
    vboard::unplug();
    ASSERT_TRUE(eventually([&] { return board_->device_lost() && board_->stream_thread_ended(); }));
    const uint64_t refused = vboard::stats().no_device_refusals;
    EXPECT_LE(refused, 2u);  // no polling
    const size_t mark = trace().size();
    const ClassicIds ids = classic_connect(*board_);
    EXPECT_EQ(ids.firmware_id, -19);
    EXPECT_EQ(ids.device_id, -19);
    for (int rc : all_commands(*board_)) EXPECT_EQ(rc, -19);
    EXPECT_EQ(vboard::stats().no_device_refusals, refused);
    EXPECT_EQ(trace().size(), mark);

    // Still unplugged: the bus walk finds nothing.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(create_classic_board(), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "not found\nBye!\n");
    board_.reset();

    vboard::reset();  // plugged in again
    open_board();
    EXPECT_EQ(stdout_, "err: 0, 1\n");  // the firmware went down again
    EXPECT_EQ(classic_connect(*board_).device_id, vboard::kSimpleChipDeviceId);
    start_stream(81, 4);
    EXPECT_EQ(consume(), 0u);
}

// Results of the libusb-0.1 calls as the virtual board gives them.
TEST_F(ClassicBoard, Libusb0FaceResults) {
    usb_init();
    usb_find_busses();
    usb_find_devices();
    struct usb_bus* bus = usb_get_busses();
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(bus->next, nullptr);
    struct usb_device* dev = bus->devices;
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->next, nullptr);
    EXPECT_EQ(dev->descriptor.idVendor, 0x04B4);
    EXPECT_EQ(dev->descriptor.idProduct, 0x8613);

    usb_dev_handle* h = usb_open(dev);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(usb_device(h), dev);
    EXPECT_EQ(usb_set_altinterface(h, 1), -EINVAL);  // no interface claimed
    EXPECT_EQ(usb_claim_interface(h, 1), -ENOENT);
    EXPECT_EQ(usb_claim_interface(h, 0), 0);
    EXPECT_EQ(usb_set_altinterface(h, 1), 0);
    char cpucs = 1;
    EXPECT_EQ(usb_control_msg(h, 0x40, 0xA0, 0xE600, 0, &cpucs, 1, 300), 1);
    EXPECT_EQ(usb_control_msg(h, 0x40, 0xA1, 0, 0, &cpucs, 1, 300), -EPIPE);
    // A bare FX2 does not answer its bulk endpoints.
    char buf[16] = {};
    EXPECT_EQ(usb_bulk_write(h, 0x01, buf, 4, 20), -ETIMEDOUT);

    vboard::unplug();
    EXPECT_EQ(usb_find_devices(), 1);
    EXPECT_EQ(usb_get_busses()->devices, nullptr);
    EXPECT_EQ(usb_bulk_read(h, 0x81, buf, 16, 300), -ENODEV);
    EXPECT_EQ(usb_close(h), 0);
    vboard::reset();
    EXPECT_EQ(usb_find_devices(), 1);
    EXPECT_EQ(usb_get_busses()->devices, dev);

    const std::vector<std::string> expected = {"open 04b4 8613", "claim 0", "altsetting 0 1",
                                               "ctrl 40 a0 e600 0000 : 01", "close"};
    EXPECT_EQ(trace(), expected);
}

// A stream read that times out after part of its data reports no count, as
// libusb-0.1 does: the classic board's ring skips those bytes.
TEST_F(ClassicBoard, TimedOutStreamReadAddsNothing) {
    open_board();
    start_stream(66, 50);  // 20 k frames/s: the board's FIFO rides out a 300 ms timeout
    EXPECT_EQ(consume(), 0u);
    const uint64_t before = missing_;
    vboard::cut_next_stream_read(400);
    // The ring may still hold frames read before the cut (a test thread held
    // off after its first block): take blocks until the gap shows, up to 8 s
    // of stream.
    for (int b = 0; b < 40 && missing_ - before < 100; ++b) consume();
    // The 100 frames of the cut read are missing; any more were counted by
    // the FIFO (a stream thread held off for more than its 110 ms of room).
    EXPECT_GE(missing_ - before, 100u);
    missing_ -= 100;
    expect_losses_counted();
}
