// Shared set-up for the virtual board tests: a fresh board per test, an open
// handle, and the host side of the protocol spelled out byte by byte.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vboard_control.h"

namespace vbtest {

using Bytes = std::vector<uint8_t>;

class BoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vboard::set_trace_file("");
        vboard::set_pattern(vboard::Pattern::tone);
        vboard::set_clock_hz(vboard::kDefaultClockHz);
        vboard::reset();
        ASSERT_EQ(libusb_init(nullptr), 0);
        h_ = libusb_open_device_with_vid_pid(nullptr, vboard::kVendorId, vboard::kProductId);
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override {
        if (h_) libusb_close(h_);
        vboard::set_trace_file("");
    }

    int ctrl_write(uint16_t addr, Bytes data) {
        return libusb_control_transfer(h_, 0x40, 0xA0, addr, 0, data.data(), uint16_t(data.size()),
                                       300);
    }
    void cpu_hold(bool hold) { ASSERT_EQ(ctrl_write(0xE600, {uint8_t(hold ? 1 : 0)}), 1); }

    // Download `code` at address 0 with the CPU held, then release it.
    void boot(const Bytes& code = {0x80, 0xFE}) {
        cpu_hold(true);
        ASSERT_EQ(ctrl_write(0x0000, code), int(code.size()));
        cpu_hold(false);
        ASSERT_TRUE(vboard::stats().cpu_running);
    }

    int out(Bytes msg, int* moved = nullptr, unsigned timeout_ms = 300) {
        int n = -1;
        const int rc = libusb_bulk_transfer(h_, 0x01, msg.data(), int(msg.size()), &n, timeout_ms);
        if (moved) *moved = n;
        return rc;
    }
    // Reads endpoint 0x81; *rc gets the libusb result.
    Bytes in81(int length, int* rc = nullptr, unsigned timeout_ms = 300) {
        Bytes buf(size_t(length), 0xEE);
        int n = 0;
        const int r = libusb_bulk_transfer(h_, 0x81, buf.data(), length, &n, timeout_ms);
        if (rc) *rc = r;
        buf.resize(size_t(n));
        return buf;
    }

    void bridge_write(uint8_t space, uint8_t addr, uint32_t v) {
        ASSERT_EQ(
            out({4, space, addr, uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}),
            0);
    }
    uint32_t bridge_read(uint8_t space, uint8_t addr, uint16_t* status = nullptr) {
        Bytes req(16, 0);
        req[0] = 5;
        req[1] = space;
        req[2] = addr;
        EXPECT_EQ(out(req), 0);
        int rc = 0;
        const Bytes r = in81(16, &rc);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(r.size(), 16u);
        if (r.size() != 16) return 0xDEADBEEF;
        if (status) *status = uint16_t(r[10] | r[11] << 8);
        return uint32_t(r[0]) | uint32_t(r[1]) << 8 | uint32_t(r[2]) << 16 | uint32_t(r[3]) << 24;
    }
    // Chip register access as the board link composes it: address phase, data phase.
    void write_reg(int cs, uint16_t addr, uint16_t value) {
        bridge_write(0, uint8_t(4 * cs), addr);
        bridge_write(0, uint8_t(4 * cs + 1), value);
    }
    uint32_t read_reg(int cs, uint16_t addr) {
        bridge_write(0, uint8_t(4 * cs), addr);
        return bridge_read(0, uint8_t(4 * cs + 1));
    }
    void stream_control(uint8_t channel, uint8_t enable) {
        ASSERT_EQ(out({13, channel, enable, 0}), 0);
    }

    libusb_device_handle* h_ = nullptr;
};

// Lines of a text file, without their line ends.
std::vector<std::string> read_lines(const std::string& path);

// A fresh, empty file name under the build's temporary directory.
std::string temp_path(const std::string& stem);

}  // namespace vbtest
