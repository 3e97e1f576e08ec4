// Control of the virtual QV demo board for tests and tools that link
// libqv_virtual_board directly (in place of libusb-1.0).
//
// There is one virtual board per process, on the "bus" from the first call on:
// a bare FX2 (vendor 0x04B4, product 0x8613) with its CPU held in reset. The
// program under test reaches it through the ordinary libusb-1.0 calls; these
// functions reach around the USB link to reset it, configure it, look at it
// and script faults.
//
// Threads: every function here may be called from any thread, also while other
// threads are inside libusb calls on the board. Settings are read from the
// environment (QV_VIRTUAL_TRACE, QV_VIRTUAL_PATTERN, QV_VIRTUAL_CLOCK_HZ,
// QV_VIRTUAL_SCENE, QV_VIRTUAL_PPM, QV_VIRTUAL_UNPLUG_AFTER,
// QV_VIRTUAL_REPLUG_AFTER, QV_VIRTUAL_DENY_OPEN) once, when the board first
// comes into existence; the functions below override them afterwards.
//
// Scripted unplug: QV_VIRTUAL_UNPLUG_AFTER=SECONDS (a non-negative number)
// calls unplug() that many seconds after the board came into existence;
// QV_VIRTUAL_REPLUG_AFTER=SECONDS then calls reset() (the board is plugged in
// again as a bare FX2 without firmware) that many seconds after the unplug.
// The replug needs the unplug; bad values are ignored (the launcher checks
// them before the program starts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vboard {

// USB identity of the board, before and after the firmware runs.
constexpr uint16_t kVendorId = 0x04B4;
constexpr uint16_t kProductId = 0x8613;

// Depth of the FX2-side FIFO of the sample stream (bulk IN endpoint 0x88), in
// bytes. Frames the host does not fetch before the FIFO is full are dropped
// whole and counted in Stats::fifo_bytes_lost.
constexpr size_t kStreamFifoBytes = 32768;

// Device identifier the simple chip answers at chip register 1.
constexpr uint16_t kSimpleChipDeviceId = 0x5101;

// Default chip clock when QV_VIRTUAL_CLOCK_HZ is not set.
constexpr double kDefaultClockHz = 66.0e6;

// What sits behind the chip bus and what it streams.
//   scene:   the QV01 channel model receiving an FM broadcast RF scene (the
//            default scene, or QV_VIRTUAL_SCENE), at QV_VIRTUAL_CLOCK_HZ with
//            QV_VIRTUAL_PPM clock error. The default.
// The simple chip (register file, rate from the decimation registers) with a
// test pattern:
//   tone:    a complex tone at +10 kHz, amplitude 16384 (-6 dBFS), phase 0 at
//            receiver start.
//   counter: frame n carries I = (int16)(n & 0xFFFF), Q = (int16)(n >> 16 & 0xFFFF),
//            n counted from 0 at receiver start, so every lost frame shows.
enum class Pattern { scene, tone, counter };

struct Stats {
    bool plugged = false;                  // false after unplug() until reset()
    bool cpu_running = false;              // firmware released from reset and running
    uint32_t firmware_id = 0;              // bridge register (2, 0); 0 while not running
    uint16_t firmware_version = 0;         // version word of the image, 0 if it has none
    bool stream_enabled = false;           // command 13 enable
    int stream_channel = 0;                // command 13 channel, 0..3
    uint32_t lines = 0;                    // control lines, bit 0 nMisk, bit 1 nLoad
    int bus_cycles = 0;                    // last command 14 value, 0 before any
    uint32_t board_control = 0;            // bridge register (2, 10)
    uint64_t commands = 0;                 // commands executed on endpoint 0x01
    uint64_t ignored_commands = 0;         // unknown codes or too short, not executed
    uint64_t invalid_bridge_requests = 0;  // bridge accesses to unknown space/address
    uint64_t frames_produced = 0;          // frames the chip delivered into the stream
    uint64_t fifo_bytes_delivered = 0;     // bytes the host read from endpoint 0x88
    uint64_t fifo_bytes_lost = 0;          // bytes dropped because the FIFO was full
    size_t fifo_level = 0;                 // bytes waiting in the FIFO now
    // Transfers and requests that failed with no-device (unplugged, or a
    // handle from before the last replug), blocked ones woken by unplug()
    // included. Not cleared by reset(), so that the attempts a program makes
    // on its stale handles after a replug still show.
    uint64_t no_device_refusals = 0;
};

// Power-cycles the board: it is plugged in again with its power-on state:
// CPU held in reset, memory cleared, bridge registers and control lines 0,
// stream disabled, FIFO and pending replies empty, statistics and scripted
// faults cleared, and a fresh chip (power-on registers) with the current
// pattern and clock behind the bus. Handles opened before are stale, as after
// a real replug: their transfers fail with LIBUSB_ERROR_NO_DEVICE (threads
// blocked in a transfer are woken with it) and libusb_close on them is still
// required and safe. The trace file stays as it is.
void reset();

// Pulls the cable: from now on libusb_open_device_with_vid_pid finds nothing
// and every transfer or request on any handle fails with
// LIBUSB_ERROR_NO_DEVICE; threads blocked in a transfer wake at once with it.
// reset() plugs the board in again.
void unplug();

// Selects the chip model or the simple chip's sample pattern and puts a fresh
// chip (power-on registers, receiver stopped) behind the bus. Meant for set-up
// between tests, not while a program streams. Default: QV_VIRTUAL_PATTERN
// (scene, tone or counter), else scene.
void set_pattern(Pattern pattern);
Pattern pattern();

// Sets the chip clock in Hz (> 0; other values are ignored) and, like
// set_pattern, puts a fresh chip behind the bus. Default: QV_VIRTUAL_CLOCK_HZ,
// else kDefaultClockHz.
void set_clock_hz(double clock_hz);

// Appends the protocol trace to `path` from now on, one flushed line per USB
// operation; an empty path stops tracing. Returns 0, or the negated errno
// when the file cannot be opened for appending (tracing is then off).
int set_trace_file(const std::string& path);

// A consistent snapshot of the board's state and counters.
Stats stats();

// Reads chip register `addr` (0..958) of the chip behind chip select 0 without
// any USB traffic; 0 outside that range.
uint16_t chip_register(int addr);

// Scripted faults. Each one affects the next matching event only and is
// cleared by reset().
//
// stall_next_command: the next bulk OUT transfer to endpoint 0x01 is not
//   accepted: it waits for its full timeout, returns LIBUSB_ERROR_TIMEOUT with
//   0 bytes transferred, and the command is not executed.
// stall_next_reply: the next command that has a reply (5, 7, 12) is executed
//   but its reply is withheld, so the host's read of endpoint 0x81 times out.
// short_next_reply: the next reply is cut to its first `bytes` bytes (bytes
//   larger than the reply leave it whole); the host's read succeeds with that
//   many bytes.
// delay_next_reply: the next command that has a reply is executed at once but
//   its reply reaches endpoint 0x81 only `ms` milliseconds later; with `ms`
//   beyond the host's read timeout the reply arrives late, after that read
//   has timed out (a reset() before then drops it).
// cut_next_stream_read: the next read of endpoint 0x88 takes at most `bytes`
//   bytes (those in the FIFO when it would normally return, or when enough
//   have arrived), then waits out its timeout and returns LIBUSB_ERROR_TIMEOUT
//   with *transferred = the bytes it took, as a transfer that ends in a
//   timeout after part of its data.
void stall_next_command();
void stall_next_reply();
void short_next_reply(size_t bytes);
void delay_next_reply(unsigned ms);
void cut_next_stream_read(size_t bytes);

// Opening without permission, as on a machine without the board's udev rule:
// while `deny` holds, the board is on the bus (listed, its descriptor
// readable) but cannot be opened: libusb_open fails with LIBUSB_ERROR_ACCESS,
// libusb_open_device_with_vid_pid returns null, and libusb-0.1's usb_open
// returns null with errno EACCES. Nothing reaches the board, nothing is
// traced; handles opened before keep working. A setting, not a one-shot
// fault: it lasts across reset() and unplug() until changed. Default:
// QV_VIRTUAL_DENY_OPEN=1 denies, anything else (or unset) allows.
void deny_open(bool deny);

}  // namespace vboard
