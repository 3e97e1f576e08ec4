// Constants of the QV demo board's USB protocol: the FX2 bring-up, the command
// messages on the bulk endpoints and the bridge register spaces. The receiver
// chip's own registers are in chip/qv01_regs.h.
#pragma once

#include <cstdint>

namespace qv {

// FX2 as it enumerates before firmware is loaded.
constexpr int kFx2Vendor = 0x04B4;
constexpr int kFx2Product = 0x8613;

// Firmware download: vendor request 0xA0 writes FX2 memory; CPUCS at 0xE600
// holds the 8051 in reset while bit 0 is set.
constexpr uint8_t kVendorRequestOut = 0x40;  // host-to-device, vendor, device
constexpr uint8_t kFx2RequestFirmwareLoad = 0xA0;
constexpr uint16_t kFx2Cpucs = 0xE600;
constexpr uint8_t kCpucsReset = 0x01;
constexpr uint8_t kCpucsRun = 0x00;
constexpr int kFirmwareBytes = 65536;  // FX2 addresses 0x0000..0xFFFF
constexpr int kFirmwareChunkBytes = 16;
constexpr int kFirmwareChunks = kFirmwareBytes / kFirmwareChunkBytes;
constexpr int kHexLineMax = 255;  // characters per HEX line, line end included

// USB configuration the firmware provides.
constexpr int kUsbConfiguration = 1;
constexpr int kUsbInterface = 0;
constexpr int kUsbAltSetting = 1;

// Endpoints.
constexpr uint8_t kEpCommandOut = 0x01;
constexpr uint8_t kEpReplyIn = 0x81;
constexpr uint8_t kEpStreamIn = 0x88;

// Timeouts in milliseconds.
constexpr unsigned kTimeoutMs = 300;      // download, commands, replies, stream reads
constexpr unsigned kJtagTimeoutMs = 500;  // both transfers of a JTAG chunk

// Command opcodes (byte 0 of every message on kEpCommandOut).
constexpr uint8_t kCmdFirmwareDone = 0;
constexpr uint8_t kCmd1 = 1;
constexpr uint8_t kCmd2 = 2;
constexpr uint8_t kCmdSetLines = 3;
constexpr uint8_t kCmdBridgeWrite = 4;
constexpr uint8_t kCmdBridgeRead = 5;
constexpr uint8_t kCmdJtagScan = 7;
constexpr uint8_t kCmdBoardDescriptor = 12;
constexpr uint8_t kCmdStreamControl = 13;
constexpr uint8_t kCmdBusTiming = 14;
constexpr uint8_t kCmd15 = 15;

// Message lengths in bytes.
constexpr int kLenFirmwareDone = 4;
constexpr int kLenCmd1 = 6;
constexpr int kLenCmd2 = 4;
constexpr int kLenSetLines = 7;
constexpr int kLenBridgeWrite = 7;
constexpr int kLenBridgeRead = 16;
constexpr int kLenBridgeReadReply = 16;
constexpr int kLenBoardDescriptor = 14;
constexpr int kLenBoardDescriptorReply = 14;
constexpr int kLenStreamControl = 4;
constexpr int kLenBusTiming = 4;
constexpr int kLenCmd15 = 4;
constexpr int kJtagChunkMax = 62;  // data bytes per JTAG chunk (64-byte packet minus header)

// Bit 15 of a bridge read's status word flags a failed bridge access.
constexpr uint16_t kBridgeStatusError = 0x8000;

// Bridge register spaces and addresses.
constexpr uint8_t kSpaceChipBus = 0;  // 4*cs: address register, 4*cs+1: data, 4*cs+2: bus control
constexpr uint8_t kSpaceChipSelect = 1;
constexpr uint8_t kAddrChipSelect = 1;
constexpr uint8_t kSpaceBoard = 2;
constexpr uint8_t kAddrFirmwareId = 0;
constexpr uint8_t kAddrBoardSetup = 1;  // written with 0x4000 at Connect
constexpr uint8_t kAddrBoardControl = 10;
constexpr int kChipSelects = 8;

// Control lines driven by set_lines.
constexpr uint32_t kLineNMisk = 1;
constexpr uint32_t kLineNLoad = 2;

// Chip bus timing: one bus clock is 20833 ps (48 MHz); at most 14 cycles.
constexpr int kBusCyclePs = 20833;
constexpr int kBusCyclesMax = 14;

// Receiver chip master clock.
constexpr double kChipClockHz = 66e6;

// Stream ring ("HS queue"): 512 KiB; the producer never writes its last byte.
constexpr int kRingBytes = 0x80000;
constexpr int kRingInitialWrapEnd = kRingBytes - 1;
constexpr int kFrameBytes = 4;  // int16 I, int16 Q, little-endian

// Error numbers returned by the board link.
constexpr int kErrInvalid = -22;
constexpr int kErrNotImplemented = -40;
constexpr int kErrNoFile = -2;
constexpr int kErrClassicInvalid = -19;
constexpr int kErrClassicNotImplemented = -123456;
// The board went away (cable pulled, board reset): -ENODEV in both link
// profiles. Every command of a lost board returns it.
constexpr int kErrDeviceLost = -19;
// A firmware file that is not a usable Intel HEX image: -ENOEXEC.
constexpr int kErrBadImage = -8;

}  // namespace qv
