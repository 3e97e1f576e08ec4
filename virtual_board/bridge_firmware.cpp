#include "bridge_firmware.h"

#include "protocol.h"

namespace vboard {

namespace {

// Bridge read status: bit 15 marks a request the bridge could not serve.
constexpr uint16_t kStatusOk = 0x0000;
constexpr uint16_t kStatusBadSpace = qv::kBridgeStatusError | 1;
constexpr uint16_t kStatusBadAddress = qv::kBridgeStatusError | 2;

// Board descriptor.
constexpr uint32_t kBoardClass = 1;
constexpr uint32_t kSerialNumber = 1;

constexpr int kStreamChannels = 4;

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_le32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = uint8_t(v >> (8 * k));
}

void put_le16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// Shortest message that carries the arguments of the command in `msg[0]`
// (the firmware reads no further, so the host's padding is optional), or 0
// for an unknown code.
int needed_bytes(const uint8_t* msg, int length) {
    switch (msg[0]) {
        case qv::kCmdFirmwareDone:
            return 1;
        case qv::kCmd1:
            return 6;
        case qv::kCmd2:
            return 2;
        case qv::kCmdSetLines:
            return 7;
        case qv::kCmdBridgeWrite:
            return 7;
        case qv::kCmdBridgeRead:
            return 3;
        case qv::kCmdJtagScan:
            return length >= 2 ? 2 + msg[1] : 2;
        case qv::kCmdBoardDescriptor:
            return 1;
        case qv::kCmdStreamControl:
            return 3;
        case qv::kCmdBusTiming:
            return 2;
        case qv::kCmd15:
            return 3;
        default:
            return 0;
    }
}

}  // namespace

void BridgeFirmware::power_on() {
    commands_ = ignored_commands_ = invalid_bridge_ = 0;
    lines_ = 0;
    board_control_ = 0;
    bus_cycles_ = 0;
    stream_channel_ = 0;
}

void BridgeFirmware::start(uint32_t firmware_id, uint16_t version) {
    firmware_id_ = firmware_id;
    firmware_version_ = version;
    bus_.reset();
    chip_select_ = 0;
    board_setup_ = 0;
    board_control_ = 0;
    lines_ = 0;
    bus_cycles_ = 0;
    jtag_.reset();
    stream_enabled_ = false;
    stream_channel_ = 0;
}

void BridgeFirmware::stop() {
    firmware_id_ = 0;
    firmware_version_ = 0;
    stream_enabled_ = false;
}

void BridgeFirmware::execute(const uint8_t* msg, int length, Effects* fx) {
    if (length < 1) return;  // a zero-length packet carries no command
    const int needed = needed_bytes(msg, length);
    if (needed == 0 || length < needed ||
        (msg[0] == qv::kCmdJtagScan && msg[1] > qv::kJtagChunkMax) ||
        (msg[0] == qv::kCmdStreamControl && msg[1] >= kStreamChannels)) {
        ++ignored_commands_;
        return;
    }
    ++commands_;
    switch (msg[0]) {
        case qv::kCmdSetLines: {
            const uint32_t mask = le32(msg + 3);
            lines_ = (lines_ & ~mask) | (msg[1] ? mask : 0);
            break;
        }
        case qv::kCmdBridgeWrite:
            if (!bridge_write(msg[1], msg[2], le32(msg + 3), &fx->chip_written)) ++invalid_bridge_;
            break;
        case qv::kCmdBridgeRead: {
            fx->reply.assign(qv::kLenBridgeReadReply, 0);
            uint32_t value = 0;
            const uint16_t status = bridge_read(msg[1], msg[2], &value);
            if (status & qv::kBridgeStatusError) ++invalid_bridge_;
            put_le32(fx->reply.data(), value);
            put_le16(fx->reply.data() + 10, status);
            fx->has_reply = true;
            break;
        }
        case qv::kCmdJtagScan:
            fx->reply.resize(msg[1]);
            for (int k = 0; k < msg[1]; ++k) fx->reply[k] = jtag_.shift(msg[2 + k]);
            fx->has_reply = true;
            break;
        case qv::kCmdBoardDescriptor:
            fx->reply.assign(qv::kLenBoardDescriptorReply, 0);
            fx->reply[0] = qv::kCmdBoardDescriptor;
            put_le32(fx->reply.data() + 1, kBoardClass);
            put_le32(fx->reply.data() + 5, kSerialNumber);
            put_le32(fx->reply.data() + 9, firmware_version_);
            fx->has_reply = true;
            break;
        case qv::kCmdStreamControl: {
            const bool enable = msg[2] != 0;
            fx->stream_restarted = enable && !stream_enabled_;
            fx->stream_changed = true;
            stream_enabled_ = enable;
            stream_channel_ = msg[1];
            break;
        }
        case qv::kCmdBusTiming:
            bus_cycles_ = msg[1];
            break;
        default:  // 0, 1, 2, 15: accepted; they configure nothing this board models
            break;
    }
}

bool BridgeFirmware::bridge_write(int space, int address, uint32_t value, bool* chip_written) {
    switch (space) {
        case qv::kSpaceChipBus:
            return bus_.write(address, value, chip_written);
        case qv::kSpaceChipSelect:
            if (address != qv::kAddrChipSelect) return false;
            chip_select_ = value;
            return true;
        case qv::kSpaceBoard:
            switch (address) {
                case qv::kAddrFirmwareId:
                    return true;  // read-only, write ignored
                case qv::kAddrBoardSetup:
                    board_setup_ = value;
                    return true;
                case qv::kAddrBoardControl:
                    board_control_ = value;
                    return true;
                default:
                    return false;
            }
        default:
            return false;
    }
}

uint16_t BridgeFirmware::bridge_read(int space, int address, uint32_t* value) {
    *value = 0;
    switch (space) {
        case qv::kSpaceChipBus:
            return bus_.read(address, value) ? kStatusOk : kStatusBadAddress;
        case qv::kSpaceChipSelect:
            if (address != qv::kAddrChipSelect) return kStatusBadAddress;
            *value = chip_select_;
            return kStatusOk;
        case qv::kSpaceBoard:
            switch (address) {
                case qv::kAddrFirmwareId:
                    *value = firmware_id_;
                    return kStatusOk;
                case qv::kAddrBoardSetup:
                    *value = board_setup_;
                    return kStatusOk;
                case qv::kAddrBoardControl:
                    *value = board_control_;
                    return kStatusOk;
                default:
                    return kStatusBadAddress;
            }
        default:
            return kStatusBadSpace;
    }
}

void BridgeFirmware::report(Stats* st) const {
    st->firmware_id = firmware_id_;
    st->firmware_version = firmware_version_;
    st->stream_enabled = stream_enabled_;
    st->stream_channel = stream_channel_;
    st->lines = lines_;
    st->bus_cycles = bus_cycles_;
    st->board_control = board_control_;
    st->commands = commands_;
    st->ignored_commands = ignored_commands_;
    st->invalid_bridge_requests = invalid_bridge_;
}

}  // namespace vboard
