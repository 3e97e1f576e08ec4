// Register map of the QV01 receiver chip as the model decodes it.
// Addresses are chip-bus register numbers; per-channel registers sit at
// base = 0x100 * channel.
#pragma once

#include <cstdint>

namespace qv01model {

constexpr int kChannels = 4;
constexpr int kChannelStride = 0x100;

// Global registers.
constexpr int kRegDeviceId = 0x0001;   // read-only chip identifier
constexpr int kRegFlagClear = 0x0004;  // write: a 1 in bit k clears channel k's overflow flags
constexpr int kRegControl = 0x0005;    // receiver control commands (below)

constexpr uint16_t kDeviceId = 0x5101;  // value of register 1

// Control register commands.
constexpr uint16_t kCmdStop = 0x8000;       // stop all channels (0 does the same)
constexpr uint16_t kCmdStart = 0x8001;      // latch every register, reset the datapaths, run
constexpr uint16_t kCmdReset = 0x8002;      // clear filter histories, NCO phases and flags
constexpr uint16_t kCmdNcoUpdate = 0x8003;  // take the NCO frequency words of all channels
constexpr uint16_t kCmdLoadCoef = 0x8004;   // load the FIR coefficient banks into the filters
constexpr uint16_t kCmdNcoSync = 0x8100;    // restart every NCO at its phase register
constexpr uint16_t kCmdGainUpdate = 0x0005; // take the GAIN I/Q values of all channels

// Per-channel register offsets from base.
constexpr int kOffFlags = 0x20;    // overflow flags, clear on read
constexpr int kOffLcfg = 0x22;
constexpr int kOffCic2 = 0x24;
constexpr int kOffCicn = 0x25;
constexpr int kOffDfir1Ctl = 0x26;
constexpr int kOffDfir1Scl = 0x27;
constexpr int kOffDfir2Ctl = 0x28;
constexpr int kOffDfir2Scl = 0x29;
constexpr int kOffGainI = 0x2A;
constexpr int kOffGainQ = 0x2B;
constexpr int kOffNcoPhase = 0x2D;
constexpr int kOffNcoLow = 0x2E;
constexpr int kOffNcoHigh = 0x2F;
constexpr int kOffDfir1Bank = 0x40;  // coefficient i at bank + 2i
constexpr int kOffDfir2Bank = 0x80;

// Overflow flag bits of base + 0x20.
constexpr uint16_t kOvfCic2 = 1u << 0;
constexpr uint16_t kOvfCicn = 1u << 1;
constexpr uint16_t kOvfDfir1 = 1u << 2;
constexpr uint16_t kOvfDfir2 = 1u << 3;
constexpr uint16_t kOvfGain = 1u << 4;

constexpr int reg_addr(int channel, int offset) { return channel * kChannelStride + offset; }

}  // namespace qv01model
