// The bridge firmware's command protocol, byte for byte: bridge registers,
// the chip bus, control lines, JTAG chain, board descriptor, stream control,
// bus timing and what happens to unknown or malformed commands.
#include "simple_chip.h"
#include "vboard_test_util.h"

namespace vbtest {
namespace {

TEST_F(BoardTest, BridgeRegistersAndInvalidRequests) {
    boot();
    uint16_t status = 0xFFFF;
    bridge_write(2, 1, 0x4000);
    EXPECT_EQ(bridge_read(2, 1, &status), 0x4000u);
    EXPECT_EQ(status, 0);
    bridge_write(2, 10, 0x0000000Eu);
    EXPECT_EQ(bridge_read(2, 10), 0x0Eu);
    EXPECT_EQ(vboard::stats().board_control, 0x0Eu);
    bridge_write(1, 1, 5);
    EXPECT_EQ(bridge_read(1, 1), 5u);
    const uint32_t id = bridge_read(2, 0);
    bridge_write(2, 0, 0x12345678);  // read-only
    EXPECT_EQ(bridge_read(2, 0), id);
    EXPECT_EQ(vboard::stats().invalid_bridge_requests, 0u);

    // Unknown space or address: bit 15 of the status, value 0.
    EXPECT_EQ(bridge_read(3, 0, &status), 0u);
    EXPECT_EQ(status & 0x8000, 0x8000);
    EXPECT_EQ(bridge_read(2, 5, &status), 0u);
    EXPECT_EQ(status & 0x8000, 0x8000);
    EXPECT_EQ(bridge_read(0, 3, &status), 0u);
    EXPECT_EQ(status & 0x8000, 0x8000);
    EXPECT_EQ(bridge_read(0, 32, &status), 0u);
    EXPECT_EQ(status & 0x8000, 0x8000);
    bridge_write(1, 7, 1);
    EXPECT_EQ(vboard::stats().invalid_bridge_requests, 5u);

    // The whole reply, byte for byte.
    ASSERT_EQ(out({5, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(in81(16), (Bytes{0x00, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0, 0, 0, 0}));
    ASSERT_EQ(out({5, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
    const Bytes bad = in81(16);
    ASSERT_EQ(bad.size(), 16u);
    EXPECT_EQ(bad[11] & 0x80, 0x80);
}

TEST_F(BoardTest, ChipBusReachesTheChipOnSelectZeroOnly) {
    boot();
    write_reg(0, 4, 0xFFFF);
    EXPECT_EQ(vboard::chip_register(4), 0xFFFF);
    EXPECT_EQ(read_reg(0, 4), 0xFFFFu);
    // Only the low 16 bits of the data phase reach the 16-bit register.
    bridge_write(0, 0, 46);
    bridge_write(0, 1, 0xFFFF1234u);
    EXPECT_EQ(read_reg(0, 46), 0x1234u);
    EXPECT_EQ(bridge_read(0, 0), 46u);  // the address register reads back

    EXPECT_EQ(read_reg(0, 1), vboard::kSimpleChipDeviceId);
    write_reg(0, 32, 0x1F);
    EXPECT_EQ(read_reg(0, 32), 0u);  // overflow flags stay clear
    write_reg(0, 958, 7);
    EXPECT_EQ(read_reg(0, 958), 7u);
    write_reg(0, 959, 7);
    EXPECT_EQ(read_reg(0, 959), 0u);

    // Other chip selects have no chip: writes vanish, reads give 0.
    write_reg(3, 4, 0x1111);
    EXPECT_EQ(vboard::chip_register(4), 0xFFFF);
    EXPECT_EQ(read_reg(3, 4), 0u);
    bridge_write(0, 4 * 3 + 2, 0xABCD);  // bus control of chip select 3
    EXPECT_EQ(bridge_read(0, 4 * 3 + 2), 0xABCDu);
}

TEST_F(BoardTest, LinesTimingStreamControlAndDescriptor) {
    boot();
    ASSERT_EQ(out({3, 1, 0, 3, 0, 0, 0}), 0);
    EXPECT_EQ(vboard::stats().lines, 3u);
    ASSERT_EQ(out({3, 0, 0, 1, 0, 0, 0}), 0);
    EXPECT_EQ(vboard::stats().lines, 2u);
    ASSERT_EQ(out({3, 0, 0, 2, 0, 0, 0}), 0);
    EXPECT_EQ(vboard::stats().lines, 0u);

    ASSERT_EQ(out({14, 14, 0, 0}), 0);
    EXPECT_EQ(vboard::stats().bus_cycles, 14);

    stream_control(2, 1);
    vboard::Stats st = vboard::stats();
    EXPECT_TRUE(st.stream_enabled);
    EXPECT_EQ(st.stream_channel, 2);
    stream_control(0, 0);
    EXPECT_FALSE(vboard::stats().stream_enabled);

    ASSERT_EQ(out({12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
    const Bytes d = in81(14);
    const uint32_t version = vboard::stats().firmware_version;
    EXPECT_EQ(
        d, (Bytes{0x0C, 1, 0, 0, 0, 1, 0, 0, 0, uint8_t(version), uint8_t(version >> 8), 0, 0, 0}));
}

TEST_F(BoardTest, UnknownAndMalformedCommandsAreIgnoredWithoutReply) {
    boot();
    const uint64_t done = vboard::stats().commands;
    ASSERT_EQ(out({0x20, 0, 0, 0}), 0);  // unknown code
    ASSERT_EQ(out({4, 2, 1, 0, 0}), 0);  // bridge write cut short
    ASSERT_EQ(out({13, 4, 1, 0}), 0);    // stream channel out of range
    ASSERT_EQ(out({7, 63}), 0);          // JTAG chunk too long
    ASSERT_EQ(out({}), 0);               // zero-length packet
    vboard::Stats st = vboard::stats();
    EXPECT_EQ(st.ignored_commands, 4u);
    EXPECT_EQ(st.commands, done);
    EXPECT_FALSE(st.stream_enabled);
    int rc = 0;
    EXPECT_TRUE(in81(64, &rc, 30).empty());
    EXPECT_EQ(rc, LIBUSB_ERROR_TIMEOUT);
    // Commands the board accepts without modelling an effect.
    ASSERT_EQ(out({1, 0, 2, 0, 13, 0}), 0);
    ASSERT_EQ(out({2, 10, 0, 0}), 0);
    ASSERT_EQ(out({15, 1, 2, 0}), 0);
    EXPECT_EQ(vboard::stats().commands, done + 3);
}

TEST_F(BoardTest, JtagChainShiftsOutIdcodesThenDelaysByItsLength) {
    boot();
    // 70 bytes in two chunks (62 + 8) as the board link splits them.
    Bytes data(70);
    for (size_t k = 0; k < data.size(); ++k) data[k] = uint8_t(0xA0 + k);
    Bytes result;
    for (size_t off = 0; off < data.size(); off += 62) {
        const size_t n = std::min<size_t>(62, data.size() - off);
        Bytes msg = {7, uint8_t(n)};
        msg.insert(msg.end(), data.begin() + long(off), data.begin() + long(off + n));
        ASSERT_EQ(out(msg), 0);
        const Bytes r = in81(int(n));
        ASSERT_EQ(r.size(), n);
        result.insert(result.end(), r.begin(), r.end());
    }
    // Two 32-bit IDCODEs, bit 0 set as IEEE 1149.1 requires, then the input 64 bits later.
    const uint32_t id0 =
        uint32_t(result[0] | result[1] << 8 | result[2] << 16 | uint32_t(result[3]) << 24);
    const uint32_t id1 =
        uint32_t(result[4] | result[5] << 8 | result[6] << 16 | uint32_t(result[7]) << 24);
    EXPECT_EQ(id0 & 1, 1u);
    EXPECT_EQ(id1 & 1, 1u);
    EXPECT_NE(id0, id1);
    for (size_t k = 8; k < result.size(); ++k) EXPECT_EQ(result[k], data[k - 8]) << k;
}

TEST(SimpleChip, RateFollowsEachChannelsRatiosAndControlRegister) {
    vboard::SimpleChip chip(66.0e6, vboard::Pattern::counter);
    EXPECT_EQ(chip.output_rate_hz(0), 0.0);  // stopped
    // Channel 1: CIC2 4, CICN 2, DFIR1 3, DFIR2 2 -> 48; the other fields' bits do not count.
    chip.write_reg(0x124, 0x03FF);
    chip.write_reg(0x125, 0xC1FF);
    chip.write_reg(0x126, 0xFFF2);
    chip.write_reg(0x128, 0x0011);
    chip.write_reg(5, 0x8001);
    EXPECT_DOUBLE_EQ(chip.output_rate_hz(1), 66.0e6 / 48);
    EXPECT_DOUBLE_EQ(chip.output_rate_hz(0), 66.0e6);  // all ratios 1
    EXPECT_EQ(chip.output_rate_hz(4), 0.0);

    int16_t iq[8];
    chip.generate(1, iq, 4);
    chip.write_reg(5, 0x8003);  // NCO change: keeps running, no restart
    chip.write_reg(5, 5);       // gain change: likewise
    chip.generate(1, iq, 1);
    EXPECT_EQ(iq[0], 4);
    chip.write_reg(5, 0x8000);
    EXPECT_EQ(chip.output_rate_hz(1), 0.0);
    chip.write_reg(5, 0x8001);
    chip.generate(1, iq, 1);
    EXPECT_EQ(iq[0], 0);  // counter restarts with the receiver
}

}  // namespace
}  // namespace vbtest
