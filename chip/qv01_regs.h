// Register map of the QV01 receiver chip: chip-bus addresses of the global and
// per-channel registers, the commands of the control register, and the bit
// fields of each register with helpers to read and set them. The one
// description of the chip used by the configuration agent, the board link,
// both programs, the DSP's tuning writes and the virtual board's chip models.
//
// Registers are 16 bits wide. Channel ch's registers sit at
// reg_addr(ch, offset) = 0x100 * ch + offset. Header-only, no state: usable
// from any thread.
#pragma once

#include <cstdint>

namespace qv01 {

constexpr int kRegisterCount = 959;  // chip-bus addresses 0..958
constexpr int kChannels = 4;
constexpr int kChannelStride = 0x100;

constexpr int reg_addr(int channel, int offset) { return channel * kChannelStride + offset; }

// Global registers.
constexpr int kRegDeviceId = 0x0001;      // read-only chip identifier, kDeviceId
constexpr int kRegFlagClear = 0x0004;     // a 1 in bit k clears channel k's overflow flags
constexpr int kRegControl = 0x0005;       // receiver commands (below)
constexpr int kRegAdcCfg = 0x0009;        // ADC interface, fields in adc_cfg
constexpr int kRegRxCfg = 0x0010;         // receive configuration, fields in rx_cfg
constexpr int kRegRxFifoThresh = 0x0014;  // receive FIFO threshold, the whole value
constexpr int kRegRxLink = 0x0015;        // receive link, fields in rx_link

constexpr uint16_t kDeviceId = 0x5101;  // value of kRegDeviceId

// Commands written to kRegControl.
constexpr uint16_t kCmdStop = 0x8000;        // stop all channels (0 does the same)
constexpr uint16_t kCmdStart = 0x8001;       // latch every register, reset the datapaths, run
constexpr uint16_t kCmdReset = 0x8002;       // clear filter histories, NCO phases and flags
constexpr uint16_t kCmdNcoUpdate = 0x8003;   // take the NCO frequency words of all channels
constexpr uint16_t kCmdLoadCoef = 0x8004;    // load the FIR coefficient banks into the filters
constexpr uint16_t kCmdNcoSync = 0x8100;     // restart every NCO at its phase register
constexpr uint16_t kCmdGainUpdate = 0x0005;  // take the GAIN I/Q values of all channels

// Per-channel register offsets.
constexpr int kOffFlags = 0x20;     // overflow flags (kOvf*), clear on read
constexpr int kOffLcfg = 0x22;      // channel configuration, fields in lcfg
constexpr int kOffCic2 = 0x24;      // fields in cic2
constexpr int kOffCicn = 0x25;      // fields in cicn
constexpr int kOffDfir1Ctl = 0x26;  // DFIR1 control, fields in dfir
constexpr int kOffDfir1Scl = 0x27;  // DFIR1 scale, dfir::kScale
constexpr int kOffDfir2Ctl = 0x28;  // DFIR2 control, fields in dfir
constexpr int kOffDfir2Scl = 0x29;  // DFIR2 scale, dfir::kScale
constexpr int kOffGainI = 0x2A;     // I/Q gain stage, signed 16-bit values
constexpr int kOffGainQ = 0x2B;
constexpr int kOffNcoPhase = 0x2D;   // NCO start phase, 2^16 = one cycle
constexpr int kOffNcoLow = 0x2E;     // NCO frequency word, bits 0-15
constexpr int kOffNcoHigh = 0x2F;    // NCO frequency word, bits 16-31
constexpr int kOffDfir1Bank = 0x40;  // coefficient i at bank + 2i, 0 at bank + 2i + 1
constexpr int kOffDfir2Bank = 0x80;
constexpr int kBankCoefficients = 32;

// Overflow flag bits of kOffFlags.
constexpr uint16_t kOvfCic2 = 1u << 0;
constexpr uint16_t kOvfCicn = 1u << 1;
constexpr uint16_t kOvfDfir1 = 1u << 2;
constexpr uint16_t kOvfDfir2 = 1u << 3;
constexpr uint16_t kOvfGain = 1u << 4;

// A bit field: bits shift .. shift + width - 1 of a register (width 1..31).
struct Field {
    int shift;
    int width;
};

constexpr uint32_t field_mask(Field f) { return ((1u << f.width) - 1u) << f.shift; }

// The field's value in register value `reg` (a sign-extended value reads the
// same as its low 16 bits).
constexpr int get_field(uint32_t reg, Field f) {
    return static_cast<int>((reg >> f.shift) & ((1u << f.width) - 1u));
}

// `reg` with the field set to the low f.width bits of `value` (wider values
// lose their high bits, negative ones are taken in two's complement).
constexpr uint32_t set_field(uint32_t reg, Field f, int64_t value) {
    return (reg & ~field_mask(f)) | ((static_cast<uint32_t>(value) << f.shift) & field_mask(f));
}

// kRegAdcCfg.
namespace adc_cfg {
constexpr Field kEncMode{14, 1};
constexpr Field kEncPhase{13, 1};
constexpr Field kEncDir{12, 1};
constexpr Field kEncDiv{8, 4};
constexpr Field kIntAdcOe{7, 1};
constexpr Field kIntAdc4On{3, 1};
constexpr Field kIntAdc3On{2, 1};
constexpr Field kIntAdc2On{1, 1};
constexpr Field kIntAdc1On{0, 1};
}  // namespace adc_cfg

// kRegRxCfg.
namespace rx_cfg {
constexpr Field kWrAll{15, 1};
constexpr Field kOutFmt{8, 1};
constexpr Field kMode{6, 2};  // 1, 2: channels share the DFIRs (wider ratio, own phase)
constexpr Field kInType{3, 3};
constexpr Field kInFmt{0, 2};
}  // namespace rx_cfg

// kRegRxLink.
namespace rx_link {
constexpr Field kLinkDiv{4, 2};
constexpr Field kLinkType{1, 2};
constexpr Field kLinkOn{0, 1};
}  // namespace rx_link

// kOffLcfg.
namespace lcfg {
constexpr Field kOn{15, 1};
constexpr Field kPdithEn{14, 1};
constexpr Field kSrc{8, 2};
constexpr Field kFgainInte{4, 1};
constexpr Field kDfir2Inte{3, 1};
constexpr Field kDfir1Inte{2, 1};
constexpr Field kCicnInte{1, 1};
constexpr Field kCic2Inte{0, 1};
}  // namespace lcfg

// kOffCic2: two integrator-comb stages, gain 4 R^2 * 2^(scale - 16).
namespace cic2 {
constexpr Field kMode{15, 1};  // 1: on, 0: bypassed
constexpr Field kRatio{8, 7};  // decimation ratio R - 1
constexpr Field kScale{0, 4};
}  // namespace cic2

// kOffCicn: mode + 3 integrator-comb stages, gain R^(mode+3) * 2^(scale - 16),
// or 2^(scale - 24) with scl_mx.
namespace cicn {
constexpr Field kMode{14, 2};  // 0: bypassed
constexpr Field kRatio{8, 6};  // decimation ratio R - 1
constexpr Field kSclMx{4, 1};
constexpr Field kScale{0, 4};
}  // namespace cicn

// kOffDfir1Ctl / kOffDfir2Ctl, and kScale of kOffDfir1Scl / kOffDfir2Scl:
// a folded FIR of order + 1 taps c_0..c_n..c_0 (n = order >> 1), gain
// 2^(scale - 21) times its DC sum.
namespace dfir {
constexpr Field kSym{14, 1};  // 1: mirrored half negated, DC gain c_n
constexpr Field kOrder{8, 6};
constexpr Field kPhase{4, 4};  // which input of each group of R is kept
constexpr Field kRatio{0, 4};  // decimation ratio R - 1
constexpr Field kScale{0, 4};  // of the scale register
}  // namespace dfir

}  // namespace qv01
