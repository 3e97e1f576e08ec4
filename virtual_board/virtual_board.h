// The virtual QV demo board: an FX2 that takes a firmware download, then the
// bridge firmware's command protocol, the chip bus with a chip behind it, and
// the paced sample stream. It knows nothing of any USB library: the thin
// faces (libusb-1.0 now, libusb-0.1 later) map their calls onto Session and
// the Result codes below.
//
// Threads: every member may be called from any thread. The board's own
// producer thread ("qv-vboard") paces the chip's frames into the stream FIFO;
// it starts when the firmware first runs and lives as long as the process.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chip_factory.h"
#include "stream_fifo.h"
#include "trace.h"
#include "vboard_control.h"
#include "virtual_chip.h"

namespace vboard {

// Outcome of a USB operation, as a USB stack would report it.
enum class Result {
    ok,
    timeout,        // the device did not accept/answer within the timeout
    no_device,      // unplugged, or a handle from before the last replug
    pipe,           // control request stalled by the device
    not_found,      // no such interface, alternate setting or endpoint
    overflow,       // the device sent more than the host asked for
    invalid_param,  // bad arguments from the host
};

class VirtualBoard;

// One open handle on the board. Created by VirtualBoard::open.
class Session {
public:
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

private:
    friend class VirtualBoard;
    explicit Session(uint64_t generation) : generation_(generation) {}
    const uint64_t generation_;  // plug generation the handle belongs to
    bool claimed_ = false;       // interface 0 claimed on this handle
};

class VirtualBoard {
public:
    // The board of this process, created on first use (settings from the
    // environment) and never destroyed: program threads may still be inside
    // transfers while the process exits.
    static VirtualBoard& instance();

    VirtualBoard(const VirtualBoard&) = delete;
    VirtualBoard& operator=(const VirtualBoard&) = delete;

    // Opens the board when it is plugged in and vendor/product match; else null.
    std::unique_ptr<Session> open(uint16_t vendor, uint16_t product);
    // Ends a session (releases its interface). Always succeeds, also on a stale handle.
    void close(Session& s);

    Result set_configuration(Session& s, int configuration);  // 1, or 0/-1 to unconfigure
    Result claim_interface(Session& s, int interface_number);  // interface 0 only
    Result release_interface(Session& s, int interface_number);
    Result set_alt_setting(Session& s, int interface_number, int alt);  // 0..3, claimed first

    // Control transfer. Vendor request 0xA0 writes (type 0x40) or reads (type
    // 0xC0) FX2 memory at `value`; a write of 0xE600 (CPUCS) bit 0 holds (1)
    // or releases (0) the CPU. Other requests stall (Result::pipe).
    // *moved: bytes of the data stage.
    Result control(Session& s, uint8_t request_type, uint8_t request, uint16_t value,
                   uint16_t index, uint8_t* data, uint16_t length, unsigned timeout_ms,
                   int* moved);

    // Bulk transfers. OUT endpoint 0x01 takes commands; IN 0x81 gives replies
    // (one reply per read; a longer reply than asked for gives Result::overflow
    // with the first `length` bytes); IN 0x88 gives what the stream FIFO holds,
    // up to `length`, waiting for at least one byte. Until the firmware runs the
    // endpoints do not answer: transfers wait for their timeout (0: forever).
    // On a timeout *moved holds the bytes moved before it.
    Result bulk_out(Session& s, uint8_t endpoint, const uint8_t* data, int length,
                    unsigned timeout_ms, int* moved);
    Result bulk_in(Session& s, uint8_t endpoint, uint8_t* data, int length, unsigned timeout_ms,
                   int* moved);

    // vboard_control.h, one to one.
    void reset();
    void unplug();
    void set_pattern(Pattern pattern);
    Pattern pattern();
    void set_clock_hz(double clock_hz);
    int set_trace_file(const std::string& path);
    Stats stats();
    uint16_t chip_register(int addr);
    void stall_next_command();
    void stall_next_reply();
    void short_next_reply(size_t bytes);
    void delay_next_reply(unsigned ms);
    void cut_next_stream_read(size_t bytes);

private:
    VirtualBoard();

    using Clock = std::chrono::steady_clock;
    using Lock = std::unique_lock<std::mutex>;

    // Everything below is guarded by m_ unless noted.
    bool gone(const Session& s) const { return !plugged_ || s.generation_ != generation_; }
    // Counts a no-device failure and returns Result::no_device.
    Result refuse_locked() {
        ++no_device_refusals_;
        return Result::no_device;
    }
    // Waits on cv_ until pred() or the device goes away or the timeout passes.
    // Returns ok when pred() holds, no_device or timeout otherwise.
    template <class Pred>
    Result wait_for(Lock& lock, const Session& s, unsigned timeout_ms, Pred pred);

    void power_on_locked();
    void write_cpucs_locked(uint8_t value);
    void start_firmware_locked();
    void stop_firmware_locked();
    void execute_command_locked(const uint8_t* msg, int length);
    void queue_reply_locked(std::vector<uint8_t> reply);
    bool bridge_write_locked(int space, int address, uint32_t value);
    uint16_t bridge_read_locked(int space, int address, uint32_t* value);
    uint8_t jtag_shift_locked(uint8_t tdi);
    void replace_chip_locked();
    void stream_changed_locked();
    void producer_loop();
    // Constructor only. Unplugs after `unplug_s` seconds (0: at once, before
    // any open) and, when `replug_s` >= 0, plugs the board in again with
    // reset() `replug_s` seconds later (QV_VIRTUAL_UNPLUG_AFTER/_REPLUG_AFTER).
    void start_plug_script(double unplug_s, double replug_s);
    std::mutex m_;
    std::condition_variable cv_;           // replies, FIFO data, CPU start, unplug
    std::condition_variable producer_cv_;  // stream state changes for the producer

    ChipSetup chip_setup_;
    std::shared_ptr<VirtualChip> chip_;
    Trace trace_;  // has its own lock

    // USB side
    bool plugged_ = true;
    uint64_t generation_ = 1;
    std::vector<uint8_t> memory_;  // FX2 memory, 64 KiB
    bool cpu_held_ = true;         // CPUCS bit 0; an FX2 without EEPROM powers up held
    bool code_loaded_ = false;     // something was downloaded into code RAM
    bool cpu_running_ = false;

    // Firmware side
    uint32_t firmware_id_ = 0;
    uint16_t firmware_version_ = 0;
    std::deque<std::vector<uint8_t>> replies_;  // endpoint 0x81 packets
    std::array<uint32_t, 8> chip_address_{};    // per chip select
    std::array<uint32_t, 8> bus_control_{};     // per chip select
    uint32_t chip_select_ = 0;                  // bridge (1, 1)
    uint32_t reg_2_1_ = 0;                      // bridge (2, 1)
    uint32_t board_control_ = 0;                // bridge (2, 10)
    uint32_t lines_ = 0;
    int bus_cycles_ = 0;
    uint64_t jtag_chain_ = 0;
    bool stream_enabled_ = false;
    int stream_channel_ = 0;
    StreamFifo fifo_{kStreamFifoBytes};

    // Scripted faults
    bool stall_command_ = false;
    bool stall_reply_ = false;
    bool short_reply_ = false;
    size_t short_reply_bytes_ = 0;
    bool cut_stream_read_ = false;
    size_t cut_stream_bytes_ = 0;
    bool delay_reply_ = false;
    unsigned delay_reply_ms_ = 0;

    // Statistics
    uint64_t commands_ = 0;
    uint64_t ignored_commands_ = 0;
    uint64_t invalid_bridge_ = 0;
    uint64_t frames_produced_ = 0;
    uint64_t fifo_delivered_ = 0;
    uint64_t fifo_lost_ = 0;
    uint64_t no_device_refusals_ = 0;  // kept across reset()

    // Producer thread
    uint64_t stream_epoch_ = 0;  // bumped whenever what the stream carries may change
    uint64_t chip_epoch_ = 0;    // bumped on every chip register write
    std::thread producer_;
};

// Firmware identifier the board derives from its memory at CPU release:
// (version word << 16) | CRC-16/CCITT (poly 0x1021, init 0xFFFF) of code RAM
// 0x0000..0x3FFF. The version word follows the magic "QVFW" found first in code
// RAM; 0 when the image carries none.
uint32_t firmware_id_of(const uint8_t* code_ram, size_t n, uint16_t* version);

}  // namespace vboard
