// The board link of qv01_fm through the real libusb-1.0 against the scripted
// FX2: each fault gives what the same fault scripted in the virtual board
// gives (board/tests/vboard_link_test.cpp). Runs with the working directory
// run/, so that create_board finds "../fw/proto.hex".
#include <gtest/gtest.h>

#include "firmware.h"
#include "fx2_link_fixture.h"
#include "qv_board.h"
#include "usb_port_libusb1.h"

using namespace qv;
using namespace fx2test;

namespace {

class Libusb1Link : public Fx2LinkTest {
  protected:
    std::unique_ptr<QV_demo_board_> create(std::string* error) override {
        BoardDescriptor d;
        d.vendor = kFx2Vendor;
        d.product = kFx2Product;
        return create_board(d, error);
    }
};

}  // namespace

// The FX2 holds exactly the image of the HEX file, written in 16-byte chunks
// in ascending order between holding and releasing the CPU.
TEST_F(Libusb1Link, DownloadsTheFirmwareByteForByte) {
    open_board();
    EXPECT_NE(stdout_.find("err: 0, 1\n"), std::string::npos);
    EXPECT_TRUE(fx2().state().cpu_running);

    auto image = std::make_unique<FirmwareImage>();
    ASSERT_EQ(read_hex_file("../fw/proto.hex", *image), 0);
    std::vector<std::string> expected = {"ctrl 40 a0 e600 0000 : 01"};
    for (int i = 0; i < kFirmwareChunks; ++i) {
        if (!image->present[i]) continue;
        const int address = i * kFirmwareChunkBytes;
        char head[32];
        std::snprintf(head, sizeof head, "ctrl 40 a0 %04x 0000 :", address);
        std::string line = head;
        for (int k = 0; k < kFirmwareChunkBytes; ++k) {
            char b[4];
            std::snprintf(b, sizeof b, " %02x", image->data[address + k]);
            line += b;
        }
        expected.push_back(line);
        EXPECT_EQ(fx2().memory(address, kFirmwareChunkBytes),
                  Bytes(image->data + address, image->data + address + kFirmwareChunkBytes));
    }
    for (const char* line : {"ctrl 40 a0 e600 0000 : 00", "config 1", "claim 0", "altsetting 0 1",
                             "out 01 : 00 00 00 00"})
        expected.push_back(line);
    EXPECT_EQ(fx2().log(), expected);
}

// The connect sequence of qv01_fm, registers and the JTAG chain: the same
// bytes on the wire and the same answers as on the virtual board.
TEST_F(Libusb1Link, CommandProtocol) {
    open_board();
    const size_t mark = fx2().log().size();
    BoardDescriptor d;
    EXPECT_EQ(board_->send_cmd2(10), 0);
    EXPECT_EQ(board_->get_board_descriptor(d), 0);
    EXPECT_EQ(board_->select_chip(0), 0);
    EXPECT_EQ(board_->set_bus_timing(10), 0);
    EXPECT_EQ(board_->bridge_read(2, 0), static_cast<int>(kFirmwareId));
    EXPECT_EQ(board_->read_reg(1), kChipDeviceId);
    EXPECT_EQ(board_->set_lines(1, kLineNLoad | kLineNMisk), 0);
    EXPECT_EQ(d.firmware_version, kFirmwareVersion);
    EXPECT_EQ(d.serial_number, 1);
    EXPECT_EQ(fx2().state().lines, 3u);
    EXPECT_EQ(fx2().state().bus_cycles, 1);

    std::vector<std::string> t = fx2().log();
    t.erase(t.begin(), t.begin() + mark);
    for (std::string& line : t)
        if (line.rfind("in 81", 0) == 0) line = line.substr(0, 5);
    const std::vector<std::string> expected = {
        "out 01 : 02 0a 00 00",
        "out 01 : 0c 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "in 81",
        "out 01 : 04 01 01 00 00 00 00",
        "out 01 : 0e 01 00 00",
        "out 01 : 05 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "in 81",
        "out 01 : 04 00 00 01 00 00 00",
        "out 01 : 05 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "in 81",
        "out 01 : 03 01 00 03 00 00 00",
    };
    EXPECT_EQ(t, expected);

    EXPECT_EQ(board_->write_reg(4, 0xFFFF), 0);
    EXPECT_EQ(fx2().chip_register(4), 0xFFFF);
    EXPECT_EQ(board_->shadow_reg(4), -1);
    EXPECT_EQ(board_->read_reg(4), 0xFFFF);
    EXPECT_EQ(board_->set_rx_mode(4), 0);
    EXPECT_EQ(fx2().state().board_control, 0xEu);
    Bytes bits(130);
    for (size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<uint8_t>(i * 7 + 1);
    const Bytes sent = bits;
    EXPECT_EQ(board_->jtag_scan(bits), 0);
    for (size_t k = 8; k < bits.size(); ++k) EXPECT_EQ(bits[k], sent[k - 8]) << k;
}

// The counter arrives in order at the FX2's pace; every frame missing was
// counted as lost. The rate is printed and checked only against a wide band.
TEST_F(Libusb1Link, StreamsIntoTheRingAtThePacedRate) {
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

// Stalled endpoints: a stalled command endpoint fails every command with
// -EPIPE and executes nothing; a stalled stream endpoint costs the stream
// thread a pause per attempt (no spin) and neither loses the board nor stops
// the commands. The link clears no halt.
TEST_F(Libusb1Link, StalledEndpoints) {
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

// A short reply is -EPROTO; a command the board never takes and a reply that
// never comes time out (the URB is discarded); a late reply is drained, so
// every read gets its own answer: as on the virtual board.
TEST_F(Libusb1Link, ShortMissingAndLateReplies) {
    open_board();
    ASSERT_EQ(board_->write_reg(0x2A, 0x1111), 0);
    ASSERT_EQ(board_->write_reg(0x2B, 0x2222), 0);
    uint32_t value = 0xDEAD;

    fx2().short_next_reply(4);
    EXPECT_EQ(board_->bridge_read(2, 0, &value), -EPROTO);
    EXPECT_EQ(value, 0xDEADu);
    EXPECT_EQ(board_->read_reg(0x2B), 0x2222);

    uint64_t discarded = fx2().state().discarded_urbs;
    fx2().withhold_next_command();  // the address phase of the next write
    EXPECT_EQ(board_->write_reg(0x2B, 0x3333), -ETIMEDOUT);
    EXPECT_GE(fx2().state().discarded_urbs, discarded + 1);  // the stream thread discards too
    EXPECT_EQ(fx2().chip_register(0x2A), 0x1111);
    EXPECT_EQ(fx2().chip_register(0x2B), 0x2222);
    EXPECT_EQ(board_->shadow_reg(0x2B), 0x2222);
    EXPECT_EQ(board_->write_reg(0x2B, 0x3333), 0);

    discarded = fx2().state().discarded_urbs;
    fx2().withhold_next_reply();
    EXPECT_EQ(board_->read_reg(0x2B, &value), -ETIMEDOUT);
    EXPECT_GE(fx2().state().discarded_urbs, discarded + 1);
    EXPECT_EQ(board_->read_reg(0x2A), 0x1111);

    fx2().delay_next_reply(450);  // past the 300 ms the host waits
    EXPECT_EQ(board_->bridge_read(2, 0, &value), -ETIMEDOUT);
    EXPECT_EQ(board_->read_reg(0x2B, &value), 0);
    EXPECT_EQ(value, 0x3333u);
    EXPECT_EQ(board_->bridge_read(2, 0), static_cast<int>(kFirmwareId));
    EXPECT_FALSE(board_->device_lost());
}

// A stream read that times out after part of its data: the libusb-1.0 profile
// keeps those bytes, the classic profile does not; every other byte the FX2
// delivered ends up in the ring.
TEST_F(Libusb1Link, BytesOfATimedOutStreamRead) {
    for (const LinkProfile* profile : {&kLibusb1Profile, &kClassicProfile}) {
        SCOPED_TRACE(profile == &kLibusb1Profile ? "libusb-1.0 profile" : "classic profile");
        fx2().plug();
        ::testing::internal::CaptureStdout();
        board_ = create_board_on(open_libusb1_port(kFx2Vendor, kFx2Product), "../fw/proto.hex",
                                 *profile);
        ::testing::internal::GetCapturedStdout();
        ASSERT_NE(board_, nullptr);
        start_stream();
        consume(2);
        fx2().cut_next_stream_read(1024);
        EXPECT_TRUE(eventually([] { return fx2().state().fifo_bytes_lost > 0; }));
        EXPECT_EQ(board_->stream_control(0, 0), 0);
        const uint64_t consumed = 2 * 16384;
        uint64_t delivered = 0;
        EXPECT_TRUE(eventually([&] {
            delivered = fx2().state().stream_bytes_delivered;
            const uint64_t expected = profile == &kLibusb1Profile ? delivered : delivered - 1024;
            return consumed + board_->bytes_available(0) + board_->dropped_bytes() == expected;
        })) << "ring holds "
            << consumed + board_->bytes_available(0) << " of " << delivered;
        board_.reset();
    }
}

// Unplugged while streaming: the stream thread ends at the first failed read,
// the board is lost and every command returns -ENODEV without reaching the
// device; the bytes that arrived stay readable. Plugged in again (a bare FX2
// under a new device number) a new board works.
TEST_F(Libusb1Link, DeviceGoneMidStreamThenBack) {
    open_board();
    start_stream();
    consume(5);
    fx2().unplug();
    ASSERT_TRUE(eventually([&] { return board_->device_lost() && board_->stream_thread_ended(); }));
    const uint64_t refused = fx2().state().no_device_refusals;
    EXPECT_LE(refused, 2u);  // no polling
    for (int rc : all_commands(*board_)) EXPECT_EQ(rc, -ENODEV);
    EXPECT_EQ(fx2().state().no_device_refusals, refused);
    const int queued = board_->bytes_available(0);
    std::vector<uint8_t> rest(queued);
    EXPECT_EQ(board_->read_stream(0, queued, rest.data()), 0);
    board_.reset();

    fx2().plug();
    ASSERT_TRUE(eventually([&] {
        ::testing::internal::CaptureStdout();
        board_ = create(&error_);
        ::testing::internal::GetCapturedStdout();
        return board_ != nullptr;
    }));
    EXPECT_EQ(board_->read_reg(1), kChipDeviceId);
    start_stream();
    consume(2);
}

// The node may be read but not written (no udev rule): the attempt names the
// device instead of "not found" and sends nothing.
TEST_F(Libusb1Link, OpenWithoutPermission) {
    open_board();  // the library starts up with the process's own rights
    board_.reset();
    fx2().plug();
    fx2().deny_access(true);
    std::unique_ptr<QV_demo_board_> board = as_unprivileged([&] { return create(&error_); });
    fx2().deny_access(false);
    EXPECT_EQ(board, nullptr);
    EXPECT_EQ(error_, "No permission to open the USB device 04b4:8613 (bus 1 device " +
                          std::to_string(fx2().state().devnum) +
                          "): install the udev rule (see README) and plug the board in again");
    EXPECT_EQ(fx2().log(), std::vector<std::string>{});
    open_board();
}
