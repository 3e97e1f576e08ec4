#include "uc_ibus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace qv;

namespace {

void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

uint32_t get32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

UC_IBus_::UC_IBus_(std::unique_ptr<UsbPort> handle, const LinkProfile& profile)
    : USB_Device_(std::move(handle), profile) {
    stream_thread_ = std::make_unique<thr1>(this);
    stream_thread_->start();
}

UC_IBus_::~UC_IBus_() {
    // Join before the ring, the mutex and (in ~USB_Device_) the device go away.
    stream_thread_.reset();
}

bool UC_IBus_::stream_thread_ended() const { return stream_thread_->ended(); }

int UC_IBus_::failed(int rc) {
    if (rc == -ENODEV) lost_.store(true, std::memory_order_release);
    return rc;
}

int UC_IBus_::send(const uint8_t* msg, int length, unsigned timeout_ms) {
    const int rc = port().bulk_write(kEpCommandOut, msg, length, timeout_ms);
    if (rc == length) return 0;
    return failed(rc < 0 ? rc : -EIO);
}

int UC_IBus_::request(const uint8_t* msg, int length, uint8_t* reply, int reply_length,
                      unsigned timeout_ms) {
    if (replies_suspect_) {
        drain_replies();
        if (int rc = lost_check()) return rc;
    }
    // A request that may or may not have reached the board can still be
    // answered later, as can one whose reply went missing.
    if (int rc = send(msg, length, timeout_ms)) {
        replies_suspect_ = true;
        return rc;
    }
    int moved = 0;
    const int rc = port().bulk_read(kEpReplyIn, reply, reply_length, timeout_ms, &moved);
    if (rc == 0 && moved == reply_length) return 0;
    replies_suspect_ = true;
    return failed(rc < 0 ? rc : -EPROTO);
}

void UC_IBus_::drain_replies() {
    // The board keeps a bounded number of replies; more reads than that
    // without a timeout mean something else is wrong, and the next failure
    // drains again.
    constexpr int kMaxDrainReads = 32;
    uint8_t scratch[512];
    for (int i = 0; i < kMaxDrainReads; ++i) {
        int moved = 0;
        const int rc = port().bulk_read(kEpReplyIn, scratch, sizeof scratch, kTimeoutMs, &moved);
        if (rc < 0 && moved == 0) {
            failed(rc);
            break;
        }
    }
    replies_suspect_ = false;
}

int UC_IBus_::send_cmd1(uint8_t a, uint8_t b, uint8_t c, uint16_t d) {
    if (int rc = lost_check()) return rc;
    uint8_t msg[kLenCmd1] = {kCmd1, a, b, c};
    put16(msg + 4, d);
    return send(msg, sizeof msg);
}

int UC_IBus_::send_cmd2(uint8_t a) {
    if (int rc = lost_check()) return rc;
    const uint8_t msg[kLenCmd2] = {kCmd2, a, 0, 0};
    return send(msg, sizeof msg);
}

int UC_IBus_::set_lines(uint8_t level, uint32_t mask) {
    if (int rc = lost_check()) return rc;
    uint8_t msg[kLenSetLines] = {kCmdSetLines, level, 0};
    put32(msg + 3, mask);
    return send(msg, sizeof msg);
}

int UC_IBus_::bridge_write(uint8_t space, uint8_t address, uint32_t value) {
    if (int rc = lost_check()) return rc;
    uint8_t msg[kLenBridgeWrite] = {kCmdBridgeWrite, space, address};
    put32(msg + 3, value);
    return send(msg, sizeof msg);
}

int UC_IBus_::bridge_read(uint8_t space, uint8_t address, uint32_t* value) {
    if (int rc = lost_check()) return rc;
    const uint8_t msg[kLenBridgeRead] = {kCmdBridgeRead, space, address};
    uint8_t reply[kLenBridgeReadReply] = {};
    if (int rc = request(msg, sizeof msg, reply, sizeof reply)) return rc;
    const uint16_t status = static_cast<uint16_t>(reply[10] | reply[11] << 8);
    if (status & kBridgeStatusError) std::printf("STATUS!=0: %.4x\n", status);
    *value = get32(reply);
    return 0;
}

int UC_IBus_::bridge_read(uint8_t space, uint8_t address) {
    uint32_t value = 0;
    if (int rc = bridge_read(space, address, &value)) return rc;
    return static_cast<int>(value);
}

int UC_IBus_::jtag_scan(std::vector<uint8_t>& bytes) {
    if (int rc = lost_check()) return rc;
    uint8_t msg[2 + kJtagChunkMax];
    uint8_t reply[kJtagChunkMax];
    for (size_t off = 0; off < bytes.size(); off += kJtagChunkMax) {
        const int n = static_cast<int>(std::min<size_t>(bytes.size() - off, kJtagChunkMax));
        msg[0] = kCmdJtagScan;
        msg[1] = static_cast<uint8_t>(n);
        std::memcpy(msg + 2, bytes.data() + off, n);
        if (int rc = request(msg, n + 2, reply, n, kJtagTimeoutMs)) return rc;
        std::memcpy(bytes.data() + off, reply, n);
    }
    return 0;
}

int UC_IBus_::get_board_descriptor(BoardDescriptor& d) {
    if (int rc = lost_check()) return rc;
    const uint8_t msg[kLenBoardDescriptor] = {kCmdBoardDescriptor, 0, 0, 0};
    uint8_t reply[kLenBoardDescriptorReply] = {};
    if (int rc = request(msg, sizeof msg, reply, sizeof reply)) return rc;
    d.board_class = static_cast<int>(get32(reply + 1));
    d.serial_number = static_cast<int>(get32(reply + 5));
    d.firmware_version = static_cast<int>(get32(reply + 9));
    d.description = "TODO: String descriptor is yet unimplemented";
    if (profile().descriptor_ids_from_device) port().device_ids(&d.vendor, &d.product);
    return 0;
}

int UC_IBus_::stream_control(int enable, int channel) {
    if (int rc = lost_check()) return rc;
    if (enable < 0 || channel < 0 || channel > 3) return profile().err_invalid;
    const uint8_t msg[kLenStreamControl] = {kCmdStreamControl, static_cast<uint8_t>(channel),
                                            static_cast<uint8_t>(enable), 0};
    return send(msg, sizeof msg);
}

int UC_IBus_::send_cmd15(uint8_t a, uint8_t b) {
    if (int rc = lost_check()) return rc;
    const uint8_t msg[kLenCmd15] = {kCmd15, a, b, 0};
    return send(msg, sizeof msg);
}

int UC_IBus_::set_control_field(int shift, int width, uint32_t value) {
    if (int rc = lost_check()) return rc;
    if (shift < 0 || width < 1 || shift + width > 32) return profile().err_invalid;
    const uint32_t mask = static_cast<uint32_t>(((uint64_t{1} << width) - 1) << shift);
    const uint32_t next = (control_shadow_ & ~mask) | ((value << shift) & mask);
    if (int rc = bridge_write(kSpaceBoard, kAddrBoardControl, next)) return rc;
    control_shadow_ = next;
    return 0;
}

int UC_IBus_::set_rx_mode(int mode) {
    // bit 0, bit 1, bits 2-3 of the board control register per mode.
    static constexpr uint8_t kFields[5][3] = {
        {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 1, 1}, {0, 1, 3}};
    if (int rc = lost_check()) return rc;
    if (mode < 0 || mode > 4) return 0;
    if (int rc = set_control_field(0, 1, kFields[mode][0])) return rc;
    if (int rc = set_control_field(1, 1, kFields[mode][1])) return rc;
    return set_control_field(2, 2, kFields[mode][2]);
}

// ---- stream queue ----------------------------------------------------------

int UC_IBus_::stream_transfer(uint8_t* dst, int length, int* moved) {
    return failed(port().bulk_read(kEpStreamIn, dst, length, kTimeoutMs, moved));
}

int UC_IBus_::bytes_available(int queue) {
    if (queue != 0) return 0;
    return ring_.count();
}

int UC_IBus_::samples_available() { return bytes_available(0) / kFrameBytes; }

int UC_IBus_::read_stream(int queue, int n, void* dst) {
    if (queue != 0 || n < 0) return profile().err_invalid;
    return ring_.read(n, dst) == 0 ? 0 : profile().err_invalid;
}

uint64_t UC_IBus_::dropped_bytes() { return ring_.dropped(); }

UC_IBus_::RingState UC_IBus_::ring_state() { return ring_.state(); }
