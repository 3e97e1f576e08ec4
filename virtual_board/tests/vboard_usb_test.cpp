// The FX2 side of the virtual board through the libusb-1.0 calls: CPU reset
// and release, dead endpoints before firmware, the firmware identifier, the
// protocol trace, unplugging, the scripted faults and a denied open.
#include <usb.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "vboard_test_util.h"

namespace vbtest {
namespace {

TEST_F(BoardTest, EndpointsDoNotAnswerBeforeFirmwareRuns) {
    int moved = -1;
    EXPECT_EQ(out({0, 0, 0, 0}, &moved, 50), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(moved, 0);
    int rc = 0;
    EXPECT_TRUE(in81(16, &rc, 50).empty());
    EXPECT_EQ(rc, LIBUSB_ERROR_TIMEOUT);
    uint8_t buf[64];
    EXPECT_EQ(libusb_bulk_transfer(h_, 0x88, buf, sizeof buf, &moved, 50), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(vboard::stats().commands, 0u);

    // Released without any code downloaded: the CPU has nothing to run.
    cpu_hold(true);
    cpu_hold(false);
    EXPECT_FALSE(vboard::stats().cpu_running);
    EXPECT_EQ(out({0, 0, 0, 0}, &moved, 50), LIBUSB_ERROR_TIMEOUT);

    // Code downloaded while running is not enough: it starts at the next release.
    ASSERT_EQ(ctrl_write(0, {0x80, 0xFE}), 2);
    EXPECT_FALSE(vboard::stats().cpu_running);
    cpu_hold(true);
    cpu_hold(false);
    EXPECT_TRUE(vboard::stats().cpu_running);
    EXPECT_EQ(out({0, 0, 0, 0}, &moved), 0);
    EXPECT_EQ(moved, 4);
}

TEST_F(BoardTest, HoldingTheCpuStopsTheFirmwareAndMemoryReadsBack) {
    boot({0x02, 0x00, 0x80});
    uint8_t mem[3] = {};
    ASSERT_EQ(libusb_control_transfer(h_, 0xC0, 0xA0, 0x0000, 0, mem, 3, 300), 3);
    EXPECT_EQ(Bytes(mem, mem + 3), (Bytes{0x02, 0x00, 0x80}));
    bridge_write(2, 1, 0x4000);

    cpu_hold(true);
    const vboard::Stats st = vboard::stats();
    EXPECT_FALSE(st.cpu_running);
    EXPECT_EQ(st.firmware_id, 0u);
    int moved = -1;
    EXPECT_EQ(out({0, 0, 0, 0}, &moved, 50), LIBUSB_ERROR_TIMEOUT);

    // Restarted firmware begins with fresh bridge registers.
    cpu_hold(false);
    EXPECT_EQ(bridge_read(2, 1), 0u);

    // Only vendor request 0xA0 within the 64 KiB memory is served.
    uint8_t two[32] = {};
    EXPECT_EQ(libusb_control_transfer(h_, 0x40, 0xA1, 0, 0, two, 2, 300), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h_, 0x40, 0xA0, 0xFFF0, 0, two, 32, 300), LIBUSB_ERROR_PIPE);
}

TEST_F(BoardTest, FirmwareIdentifierFollowsTheImage) {
    boot({0x80, 0xFE});
    const uint32_t a = bridge_read(2, 0);
    EXPECT_EQ(a, vboard::stats().firmware_id);
    EXPECT_EQ(a >> 16, 0u);  // no version block in this image

    cpu_hold(true);
    ASSERT_EQ(ctrl_write(0, {0x80, 0xFD}), 2);
    cpu_hold(false);
    EXPECT_NE(bridge_read(2, 0), a);

    // The project's image carries version 1.0 in its identification block.
    cpu_hold(true);
    std::ifstream hex(std::string(QV_SOURCE_ROOT) + "/fw/proto.hex");
    ASSERT_TRUE(hex.good());
    int records = 0;
    for (std::string line; std::getline(hex, line);) {
        ASSERT_EQ(line[0], ':');
        Bytes rec;
        for (size_t k = 1; k + 1 < line.size(); k += 2)
            rec.push_back(uint8_t(std::stoi(line.substr(k, 2), nullptr, 16)));
        uint8_t sum = 0;
        for (uint8_t b : rec) sum = uint8_t(sum + b);
        ASSERT_EQ(sum, 0) << line;
        ASSERT_EQ(rec.size(), size_t(rec[0]) + 5) << line;
        ASSERT_LE(rec[0], 16);
        if (rec[3] == 1) break;
        ASSERT_EQ(rec[3], 0);
        ASSERT_EQ(ctrl_write(uint16_t(rec[1] << 8 | rec[2]), Bytes(rec.begin() + 4, rec.end() - 1)),
                  rec[0]);
        ++records;
    }
    EXPECT_GT(records, 0);
    cpu_hold(false);
    // Version 1.0 over the CRC-16/CCITT of code RAM, worked out independently.
    EXPECT_EQ(bridge_read(2, 0), 0x01003A30u);
    EXPECT_EQ(vboard::stats().firmware_version, 0x0100);
}

TEST_F(BoardTest, TraceHasOneLinePerOperation) {
    const std::string path = temp_path("trace");
    ASSERT_EQ(vboard::set_trace_file(path), 0);
    libusb_device_handle* h = libusb_open_device_with_vid_pid(nullptr, 0x04B4, 0x8613);
    ASSERT_NE(h, nullptr);
    std::swap(h, h_);
    libusb_close(h);
    cpu_hold(true);
    ASSERT_EQ(ctrl_write(0x0000, {0x02, 0x00, 0x80}), 3);
    cpu_hold(false);
    EXPECT_EQ(libusb_set_configuration(h_, 1), 0);
    EXPECT_EQ(libusb_claim_interface(h_, 0), 0);
    EXPECT_EQ(libusb_set_interface_alt_setting(h_, 0, 1), 0);
    ASSERT_EQ(out({4, 0, 0, 4, 0, 0, 0}), 0);
    bridge_read(2, 10);
    stream_control(0, 1);
    uint8_t buf[16];
    int moved = 0;
    EXPECT_EQ(libusb_bulk_transfer(h_, 0x88, buf, sizeof buf, &moved, 20), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(libusb_release_interface(h_, 0), 0);
    libusb_close(h_);
    h_ = nullptr;

    const std::vector<std::string> expected = {
        "open 04b4 8613",
        "close",
        "ctrl 40 a0 e600 0000 : 01",
        "ctrl 40 a0 0000 0000 : 02 00 80",
        "ctrl 40 a0 e600 0000 : 00",
        "config 1",
        "claim 0",
        "altsetting 0 1",
        "out 01 : 04 00 00 04 00 00 00",
        "out 01 : 05 02 0a 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "in 81 : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "out 01 : 0d 00 01 00",
        "release 0",
        "close",
    };
    EXPECT_EQ(read_lines(path), expected);
    std::remove(path.c_str());
}

TEST_F(BoardTest, UnplugFailsEveryTransferAndWakesWaiters) {
    boot();
    int waiter_rc = 0;
    std::thread reader([&] {
        uint8_t buf[2048];
        int n = 0;
        waiter_rc = libusb_bulk_transfer(h_, 0x88, buf, sizeof buf, &n, 0);  // no timeout
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    vboard::unplug();
    reader.join();
    EXPECT_EQ(waiter_rc, LIBUSB_ERROR_NO_DEVICE);

    int moved = -1;
    EXPECT_EQ(out({0, 0, 0, 0}, &moved), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(ctrl_write(0xE600, {1}), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_claim_interface(h_, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_open_device_with_vid_pid(nullptr, 0x04B4, 0x8613), nullptr);
    EXPECT_FALSE(vboard::stats().plugged);

    // Replugged: a handle from before stays dead, a new one finds a bare FX2.
    vboard::reset();
    EXPECT_EQ(out({0, 0, 0, 0}, &moved), LIBUSB_ERROR_NO_DEVICE);
    libusb_close(h_);
    h_ = libusb_open_device_with_vid_pid(nullptr, 0x04B4, 0x8613);
    ASSERT_NE(h_, nullptr);
    EXPECT_FALSE(vboard::stats().cpu_running);
    EXPECT_EQ(out({0, 0, 0, 0}, &moved, 20), LIBUSB_ERROR_TIMEOUT);
    EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_NO_DEVICE), "LIBUSB_ERROR_NO_DEVICE");
}

// Without permission the board is listed but opens on neither face; a handle
// opened before keeps working, and the device list follows the plug.
TEST_F(BoardTest, DeniedOpenListsTheBoardButOpensNothing) {
    struct Allow {
        ~Allow() { vboard::deny_open(false); }
    } allow_at_exit;
    vboard::deny_open(true);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(list[0], &d), 0);
    EXPECT_EQ(d.idVendor, vboard::kVendorId);
    EXPECT_EQ(d.idProduct, vboard::kProductId);
    EXPECT_EQ(libusb_get_bus_number(list[0]), 1);
    EXPECT_EQ(libusb_get_device_address(list[0]), 2);
    libusb_device_handle* h = nullptr;
    EXPECT_EQ(libusb_open(list[0], &h), LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(libusb_open_device_with_vid_pid(nullptr, 0x04B4, 0x8613), nullptr);

    usb_init();
    usb_find_busses();
    usb_find_devices();
    struct usb_device* dev = usb_get_busses()->devices;
    ASSERT_NE(dev, nullptr);
    errno = 0;
    EXPECT_EQ(usb_open(dev), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(vboard::stats().commands, 0u);
    EXPECT_EQ(ctrl_write(0xE600, {1}), 1);  // the handle from before

    vboard::deny_open(false);
    ASSERT_EQ(libusb_open(list[0], &h), 0);
    libusb_close(h);
    libusb_free_device_list(list, 1);
    vboard::unplug();
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 0);
    EXPECT_EQ(list[0], nullptr);
    libusb_free_device_list(list, 1);
}

TEST_F(BoardTest, ScriptedFaultsAffectOnlyTheNextEvent) {
    boot();
    const uint64_t before = vboard::stats().commands;
    vboard::stall_next_command();
    int moved = -1;
    EXPECT_EQ(out({4, 2, 1, 7, 0, 0, 0}, &moved, 30), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(vboard::stats().commands, before);  // not executed
    EXPECT_EQ(bridge_read(2, 1), 0u);

    bridge_write(2, 1, 0x4000);
    vboard::stall_next_reply();
    Bytes req(16, 0);
    req[0] = 5;
    req[1] = 2;
    req[2] = 1;
    ASSERT_EQ(out(req), 0);
    int rc = 0;
    EXPECT_TRUE(in81(16, &rc, 30).empty());
    EXPECT_EQ(rc, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(bridge_read(2, 1), 0x4000u);  // the stalled reply does not linger

    vboard::short_next_reply(6);
    ASSERT_EQ(out(req), 0);
    const Bytes cut = in81(16, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(cut, (Bytes{0x00, 0x40, 0x00, 0x00, 0x00, 0x00}));

    // A reply longer than the host's buffer: first bytes, and an overflow.
    ASSERT_EQ(out(req), 0);
    const Bytes part = in81(4, &rc);
    EXPECT_EQ(rc, LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(part, (Bytes{0x00, 0x40, 0x00, 0x00}));
    EXPECT_EQ(bridge_read(2, 1), 0x4000u);
}

}  // namespace
}  // namespace vbtest
