// Command messages, register access and the shadow, against the fake port.
#include <gtest/gtest.h>

#include "fake_usb_port.h"
#include "qv_board.h"

using namespace qv;
using Bytes = std::vector<uint8_t>;

namespace {

class Commands : public ::testing::Test {
  protected:
    void SetUp() override { make_board(kLibusb1Profile); }

    void make_board(const LinkProfile& profile) {
        board_.reset();
        state_ = std::make_shared<FakeUsbState>();
        ::testing::internal::CaptureStdout();  // "thread created"
        board_ = std::make_unique<QV_demo_board_>(std::make_unique<FakeUsbPort>(state_), profile);
        ASSERT_TRUE(eventually([&] { return stream_reads() > 0; }));
        ::testing::internal::GetCapturedStdout();
    }

    size_t stream_reads() {
        std::lock_guard<std::mutex> lock(state_->m);
        return state_->stream_read_lengths.size();
    }

    // Every command went to endpoint 0x01 with `timeout`.
    void expect_all_out_to_ep1(unsigned timeout = 300) {
        for (const UsbOp& op : state_->snapshot()) {
            if (op.kind != UsbOp::BulkOut) continue;
            EXPECT_EQ(op.endpoint, 0x01);
            EXPECT_EQ(op.timeout_ms, timeout);
        }
    }

    std::shared_ptr<FakeUsbState> state_;
    std::unique_ptr<QV_demo_board_> board_;
};

Bytes reply16(uint32_t value, uint16_t status) {
    Bytes r(16, 0);
    for (int i = 0; i < 4; ++i) r[i] = static_cast<uint8_t>(value >> (8 * i));
    r[10] = static_cast<uint8_t>(status);
    r[11] = static_cast<uint8_t>(status >> 8);
    return r;
}

}  // namespace

TEST_F(Commands, MessagesByteForByte) {
    EXPECT_EQ(board_->send_cmd1(1, 2, 3, 0x1234), 0);
    EXPECT_EQ(board_->send_cmd2(10), 0);
    EXPECT_EQ(board_->set_lines(1, 2), 0);
    EXPECT_EQ(board_->bridge_write(2, 1, 0x4000), 0);
    EXPECT_EQ(board_->bridge_write(0, 1, 0xFFFFFFFFu), 0);
    EXPECT_EQ(board_->stream_control(1, 0), 0);
    EXPECT_EQ(board_->stream_control(0x101, 3), 0);  // enable goes as its low byte
    EXPECT_EQ(board_->send_cmd15(0, 2), 0);
    EXPECT_EQ(board_->set_bus_timing(10), 0);
    board_->set_bus_timing(5000);
    board_->set_bus_timing(6000);
    board_->set_bus_timing(0);
    board_->set_bus_timing(-5);
    board_->set_bus_timing(2147483647);
    board_->set_bus_timing(250);  // 250000/20833 = 12 -> 13 cycles
    const std::vector<Bytes> expected = {
        {0x01, 1, 2, 3, 0x34, 0x12},
        {0x02, 10, 0, 0},
        {0x03, 1, 0, 2, 0, 0, 0},
        {0x04, 2, 1, 0x00, 0x40, 0, 0},
        {0x04, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF},
        {0x0D, 0, 1, 0},
        {0x0D, 3, 1, 0},
        {0x0F, 0, 2, 0},
        {0x0E, 1, 0, 0},
        {0x0E, 14, 0, 0},
        {0x0E, 14, 0, 0},
        {0x0E, 1, 0, 0},
        {0x0E, 1, 0, 0},
        {0x0E, 14, 0, 0},
        {0x0E, 13, 0, 0},
    };
    EXPECT_EQ(state_->commands(), expected);
    expect_all_out_to_ep1();
}

TEST_F(Commands, InvalidArgumentsSendNothing) {
    EXPECT_EQ(board_->stream_control(1, 4), -22);
    EXPECT_EQ(board_->stream_control(-1, 0), -22);
    EXPECT_EQ(board_->stream_control(1, -1), -22);
    EXPECT_EQ(board_->select_chip(8), -22);
    EXPECT_EQ(board_->select_chip(-1), -22);
    EXPECT_EQ(board_->set_rx_mode(5), 0);
    EXPECT_EQ(board_->set_rx_mode(-1), 0);
    EXPECT_TRUE(state_->commands().empty());
    EXPECT_EQ(board_->chip_select(), 0);
    EXPECT_EQ(board_->reserved_slot1(), -40);
    EXPECT_EQ(board_->reserved_slot4(), -40);
    EXPECT_EQ(board_->reserved_slot5(), -40);
    EXPECT_EQ(board_->reserved_slot6(), -40);
    EXPECT_EQ(board_->reserved_slot7(), -40);
}

TEST_F(Commands, BridgeReadReplyAndStatus) {
    // A value with bit 31 set is told apart from an error by the status form.
    state_->push_reply(reply16(0x80000001u, 0));
    uint32_t value = 0;
    EXPECT_EQ(board_->bridge_read(0, 5, &value), 0);
    EXPECT_EQ(value, 0x80000001u);
    state_->clear_ops();

    state_->push_reply(reply16(0x12345678, 0x0000));
    state_->push_reply(reply16(0xCAFE, 0x8001));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(board_->bridge_read(2, 0), 0x12345678);
    EXPECT_EQ(board_->bridge_read(0, 5, &value), 0);  // the bridge's error status is no link error
    EXPECT_EQ(value, 0xCAFEu);
    EXPECT_EQ(board_->bridge_read(0, 5, &value), -ETIMEDOUT);  // lost reply: nothing to report
    EXPECT_EQ(value, 0xCAFEu);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "STATUS!=0: 8001\n");

    const std::vector<std::string> t = state_->trace();
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[0], "out 01 : 05 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 @300");
    EXPECT_EQ(t[1], "in 81 [16] @300");
    EXPECT_EQ(t[2], "out 01 : 05 00 05 00 00 00 00 00 00 00 00 00 00 00 00 00 @300");
}

// After a failed reply the next request first drains endpoint 0x81 until a
// read times out, so a late reply is not taken for the next answer; a short
// reply is an error of its own, and the drain happens only after a failure.
TEST_F(Commands, FailedReplyDrainsBeforeTheNextRequest) {
    uint32_t value = 0;
    EXPECT_EQ(board_->bridge_read(2, 0, &value), -ETIMEDOUT);  // the reply is late ...
    state_->push_reply(reply16(0x1111, 0));                    // ... and comes now
    state_->clear_ops();
    EXPECT_EQ(board_->bridge_read(2, 1, &value), -ETIMEDOUT);  // not answered by 0x1111
    const std::vector<std::string> expected = {
        "in 81 [512] @300",  // the late reply, discarded
        "in 81 [512] @300",  // times out: nothing more pending
        "out 01 : 05 02 01 00 00 00 00 00 00 00 00 00 00 00 00 00 @300",
        "in 81 [16] @300",
    };
    EXPECT_EQ(state_->trace(), expected);

    make_board(kLibusb1Profile);
    state_->push_reply(Bytes(10, 0));
    EXPECT_EQ(board_->bridge_read(2, 0, &value), -EPROTO);
    EXPECT_EQ(value, 0u);  // a failed read leaves the value alone
}

TEST_F(Commands, BoardDescriptorFromReply) {
    state_->push_reply({0xEE, 3, 0, 0, 0, 0x39, 0x30, 0, 0, 0x02, 0x01, 0, 0, 0});
    BoardDescriptor d;
    d.vendor = 0x04B4;
    d.product = 0x8613;
    EXPECT_EQ(board_->get_board_descriptor(d), 0);
    EXPECT_EQ(d.board_class, 3);
    EXPECT_EQ(d.serial_number, 12345);
    EXPECT_EQ(d.firmware_version, 0x102);
    EXPECT_EQ(d.description, "TODO: String descriptor is yet unimplemented");
    EXPECT_EQ(d.vendor, 0x04B4);
    EXPECT_EQ(d.product, 0x8613);
    EXPECT_EQ(state_->trace().at(0), "out 01 : 0c 00 00 00 00 00 00 00 00 00 00 00 00 00 @300");
    EXPECT_EQ(state_->trace().at(1), "in 81 [14] @300");
}

TEST_F(Commands, JtagScanInChunksOf62) {
    Bytes bits(130);
    for (size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<uint8_t>(i);
    const Bytes sent = bits;
    const Bytes first_reply(62, 0xA1), third_reply(6, 0xC3);
    const Bytes second_reply(62, 0xB2);
    state_->push_reply(first_reply);
    state_->push_reply(second_reply);
    state_->push_reply(third_reply);
    EXPECT_EQ(board_->jtag_scan(bits), 0);
    const auto cmds = state_->commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[0].size(), 64u);
    EXPECT_EQ(cmds[1].size(), 64u);
    EXPECT_EQ(cmds[2].size(), 8u);
    EXPECT_EQ(cmds[0][0], 0x07);
    EXPECT_EQ(cmds[0][1], 62);
    EXPECT_EQ(cmds[2][1], 6);
    EXPECT_EQ(Bytes(cmds[1].begin() + 2, cmds[1].end()),
              Bytes(sent.begin() + 62, sent.begin() + 124));
    EXPECT_EQ(Bytes(cmds[2].begin() + 2, cmds[2].end()), Bytes(sent.begin() + 124, sent.end()));
    EXPECT_EQ(Bytes(bits.begin(), bits.begin() + 62), first_reply);
    EXPECT_EQ(Bytes(bits.begin() + 62, bits.begin() + 124), second_reply);
    EXPECT_EQ(Bytes(bits.begin() + 124, bits.end()), third_reply);
    for (const UsbOp& op : state_->snapshot()) EXPECT_EQ(op.timeout_ms, 500u);

    // A lost reply ends the scan: no later chunk is sent, and the unanswered
    // bytes stay as sent.
    state_->clear_ops();
    bits = sent;
    state_->push_reply(first_reply);
    EXPECT_EQ(board_->jtag_scan(bits), -ETIMEDOUT);
    EXPECT_EQ(state_->commands().size(), 2u);
    EXPECT_EQ(Bytes(bits.begin() + 62, bits.end()), Bytes(sent.begin() + 62, sent.end()));

    Bytes empty;
    state_->clear_ops();
    board_->jtag_scan(empty);
    EXPECT_TRUE(state_->snapshot().empty());
}

TEST_F(Commands, ChipRegisterAccess) {
    EXPECT_EQ(board_->write_reg(4, 0xFFFF), 0);
    EXPECT_EQ(board_->shadow_reg(4), -1);
    state_->push_reply(reply16(0x00005101, 0));
    EXPECT_EQ(board_->read_reg(1), 0x5101);
    EXPECT_EQ(board_->shadow_reg(1), 0);  // a read leaves the shadow alone
    Bytes read_request(16, 0);
    read_request[0] = 0x05;
    read_request[2] = 1;
    std::vector<Bytes> expected = {
        {0x04, 0, 0, 4, 0, 0, 0},
        {0x04, 0, 1, 0xFF, 0xFF, 0, 0},
        {0x04, 0, 0, 1, 0, 0, 0},
        read_request,
    };
    EXPECT_EQ(state_->commands(), expected);

    // Chip select 2 uses bridge addresses 8, 9 and 10; a negative value goes
    // as its two's complement and keeps its low 16 bits in the shadow.
    state_->clear_ops();
    EXPECT_EQ(board_->select_chip(2), 0);
    board_->write_reg(0x2E, -2);
    board_->set_bus_control(0x55);
    board_->read_reg(7);
    read_request[2] = 9;
    expected = {
        {0x04, 1, 1, 2, 0, 0, 0},
        {0x04, 0, 8, 0x2E, 0, 0, 0},
        {0x04, 0, 9, 0xFE, 0xFF, 0xFF, 0xFF},
        {0x04, 0, 10, 0x55, 0, 0, 0},
        {0x04, 0, 8, 7, 0, 0, 0},
        read_request,
    };
    EXPECT_EQ(state_->commands(), expected);
    EXPECT_EQ(board_->shadow_reg(0x2E), -2);
    board_->write_reg(0x2F, 0x12345);
    EXPECT_EQ(board_->shadow_reg(0x2F), 0x2345);
}

TEST_F(Commands, ShadowIgnoresAddressesOutsideTheChip) {
    board_->write_reg(958, 0x7FFF);
    board_->write_reg(959, 0x1111);
    board_->write_reg(-1, 0x2222);
    board_->write_reg(100000, 0x3333);
    EXPECT_EQ(board_->shadow_reg(958), 0x7FFF);
    EXPECT_EQ(board_->shadow_reg(959), 0);
    EXPECT_EQ(board_->shadow_reg(-1), 0);
    EXPECT_EQ(board_->shadow_reg(0), 0);
    EXPECT_EQ(board_->shadow_reg(100000), 0);
    EXPECT_EQ(state_->commands().size(), 8u);  // all still written to the chip
}

TEST_F(Commands, DecimationFromShadow) {
    EXPECT_EQ(board_->decimation(), 1);
    board_->write_reg(36, 0x0300);
    board_->write_reg(37, 0x0100);
    board_->write_reg(38, 0x0001);
    board_->write_reg(40, 0x0002);
    EXPECT_EQ(board_->decimation(), 4 * 2 * 3 * 2);
    // Mode and scale bits around the ratio fields do not count.
    board_->write_reg(36, 0x8200 | 10);
    board_->write_reg(37, (3 << 14) | (26 << 8) | 0x1F);
    board_->write_reg(38, 0x7FF1);
    board_->write_reg(40, 0x40F1);
    EXPECT_EQ(board_->decimation(), 3 * 27 * 2 * 2);
}

TEST_F(Commands, ControlRegisterFields) {
    board_->set_rx_mode(2);
    board_->set_rx_mode(4);
    board_->set_control_field(8, 4, 0xFF);  // masked to its 4 bits
    board_->set_rx_mode(1);
    board_->set_control_field(31, 1, 1);
    EXPECT_EQ(board_->set_control_field(30, 4, 1), -22);
    const uint32_t values[] = {0, 2, 2, 0x2, 0x2, 0xE, 0xF0E, 0xF0F, 0xF0D, 0xF01, 0x80000F01u};
    const auto cmds = state_->commands();
    ASSERT_EQ(cmds.size(), std::size(values));
    for (size_t i = 0; i < cmds.size(); ++i) {
        SCOPED_TRACE(i);
        const uint32_t v = values[i];
        EXPECT_EQ(cmds[i],
                  (Bytes{0x04, 2, 10, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                         static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)}));
    }
}

TEST_F(Commands, ClassicProfileDifferences) {
    make_board(kClassicProfile);
    {
        std::lock_guard<std::mutex> lock(state_->m);
        state_->has_ids = true;
        state_->vendor = 0x1234;
        state_->product = 0x5678;
    }
    EXPECT_EQ(board_->stream_control(1, 4), -19);
    EXPECT_EQ(board_->select_chip(9), -19);
    EXPECT_EQ(board_->reserved_slot2(), -123456);
    EXPECT_EQ(board_->reserved_slot6(), -123456);
    board_->write_reg(4, 0x1234);
    EXPECT_EQ(board_->shadow_reg(4), 0);  // no shadow kept
    EXPECT_EQ(state_->commands().size(), 2u);
    BoardDescriptor d;
    state_->push_reply(Bytes(14, 0));
    EXPECT_EQ(board_->get_board_descriptor(d), 0);
    EXPECT_EQ(d.vendor, 0x1234);
    EXPECT_EQ(d.product, 0x5678);
    std::lock_guard<std::mutex> lock(state_->m);
    EXPECT_EQ(state_->stream_read_lengths.at(0), 1024);
}
