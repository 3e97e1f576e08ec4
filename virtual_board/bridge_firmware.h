// The bridge firmware as the virtual board runs it once the FX2's CPU starts:
// the command interpreter of bulk OUT endpoint 0x01 and the bridge registers.
//
// Commands (first byte of a message): 0 end of firmware loading, 1, 2 and 15
// accepted without a modelled effect, 3 control lines, 4 bridge write, 5
// bridge read (16-byte reply), 7 JTAG scan (reply of the bytes shifted out),
// 12 board descriptor (14-byte reply), 13 stream control, 14 bus timing.
// Unknown codes, messages too short for their command's arguments, a JTAG
// count above 62 and a stream channel above 3 are ignored and counted. Longer
// messages are fine (extra bytes unused).
//
// Bridge registers: space 0 is the chip bus (chip_bus.h); space 1 address 1
// the chip select; space 2 address 0 the firmware identifier (read-only),
// address 1 the board setup register, address 10 the board control register.
// Others are invalid: reads answer value 0 with status 0x8001 (unknown space)
// or 0x8002 (unknown address), writes are ignored; both are counted.
//
// Threads: not thread-safe; the virtual board's mutex guards it (and the chip
// bus it drives).
#pragma once

#include <cstdint>
#include <vector>

#include "chip_bus.h"
#include "vboard_control.h"

namespace vboard {

class BridgeFirmware {
  public:
    // What one command asks of the rest of the board.
    struct Effects {
        bool has_reply = false;  // `reply` goes to endpoint 0x81
        std::vector<uint8_t> reply;
        bool chip_written = false;      // a data phase reached the chip
        bool stream_changed = false;    // stream control (command 13) was executed
        bool stream_restarted = false;  // ... and turned the stream on from off
    };

    explicit BridgeFirmware(ChipBus& bus) : bus_(bus) {}

    // Power-on: control lines, board control, bus timing and stream channel 0;
    // counters cleared.
    void power_on();
    // The CPU starts running the image identified by `firmware_id`/`version`:
    // fresh bridge registers, lines, JTAG chain and stream control.
    void start(uint32_t firmware_id, uint16_t version);
    // The CPU is held: no identifier, stream off.
    void stop();

    // Executes one message of `length` bytes from endpoint 0x01.
    void execute(const uint8_t* msg, int length, Effects* fx);

    bool stream_enabled() const { return stream_enabled_; }
    int stream_channel() const { return stream_channel_; }

    // Fills the firmware's part of a Stats snapshot.
    void report(Stats* st) const;

  private:
    bool bridge_write(int space, int address, uint32_t value, bool* chip_written);
    uint16_t bridge_read(int space, int address, uint32_t* value);

    ChipBus& bus_;
    JtagChain jtag_;

    uint32_t firmware_id_ = 0;
    uint16_t firmware_version_ = 0;
    uint32_t chip_select_ = 0;    // bridge (1, 1)
    uint32_t board_setup_ = 0;    // bridge (2, 1)
    uint32_t board_control_ = 0;  // bridge (2, 10)
    uint32_t lines_ = 0;
    int bus_cycles_ = 0;
    bool stream_enabled_ = false;
    int stream_channel_ = 0;

    uint64_t commands_ = 0;
    uint64_t ignored_commands_ = 0;
    uint64_t invalid_bridge_ = 0;
};

}  // namespace vboard
