// The virtual QV demo board: an FX2 that takes a firmware download, then the
// bridge firmware's command protocol, the chip bus with a chip behind it, and
// the paced sample stream. It knows nothing of any USB library: the thin
// faces (libusb1_face.cpp, libusb0_face.cpp) map their calls onto Session and
// the Result codes below.
//
// This class is the board's USB device (plug state, sessions, endpoints, the
// reply queue of endpoint 0x81) and the owner of its pieces, each in its own
// file: the FX2 core (fx2_core.h), the bridge firmware's command interpreter
// and registers (bridge_firmware.h), the chip bus and JTAG chain
// (chip_bus.h), the paced stream producer with the FIFO (stream_producer.h),
// the scripted faults (scripted_faults.h) and the settings from the
// environment (board_settings.h).
//
// Threads: every member may be called from any thread. One mutex, m_, guards
// the board's state and every piece but the trace (which has its own lock)
// and the chip (which guards itself). Transfers wait on cv_ with m_ for
// replies, FIFO data, the CPU's start or an unplug. Threads of the board's
// own: the producer ("qv-vboard"), from the firmware's first start; the plug
// script ("qv-vboard-plug") when the environment asks for an unplug; one
// short-lived thread per delayed reply. All of them live at most as long as
// the process, and so does the board.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge_firmware.h"
#include "chip_bus.h"
#include "chip_factory.h"
#include "fx2_core.h"
#include "scripted_faults.h"
#include "stream_producer.h"
#include "trace.h"
#include "vboard_control.h"

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
    access,         // the user may not open the device (deny_open)
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

    // Opens the board: ok with *session set when it is plugged in and
    // vendor/product match; no_device when not; access while opening is
    // denied (deny_open), *session then left empty.
    Result open(uint16_t vendor, uint16_t product, std::unique_ptr<Session>* session);
    // Ends a session (releases its interface). Always succeeds, also on a stale handle.
    void close(Session& s);

    Result set_configuration(Session& s, int configuration);   // 1, or 0/-1 to unconfigure
    Result claim_interface(Session& s, int interface_number);  // interface 0 only
    Result release_interface(Session& s, int interface_number);
    Result set_alt_setting(Session& s, int interface_number, int alt);  // 0..3, claimed first

    // Control transfer. Vendor request 0xA0 writes (type 0x40) or reads (type
    // 0xC0) FX2 memory at `value`; a write of 0xE600 (CPUCS) bit 0 holds (1)
    // or releases (0) the CPU. Other requests stall (Result::pipe).
    // *moved: bytes of the data stage.
    Result control(Session& s, uint8_t request_type, uint8_t request, uint16_t value,
                   uint16_t index, uint8_t* data, uint16_t length, unsigned timeout_ms, int* moved);

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
    void deny_open(bool deny);

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
    // wait_for on the stream FIFO: after half the timeout, the producer tops it up.
    template <typename Pred>
    Result wait_for_stream(Lock& lock, const Session& s, unsigned timeout_ms, Pred pred);

    void power_on_locked();
    void start_firmware_locked();
    void stop_firmware_locked();
    void execute_command_locked(const uint8_t* msg, int length);
    void queue_reply_locked(std::vector<uint8_t> reply);
    void replace_chip_locked();
    // Tells the producer what the stream carries now.
    void stream_changed_locked();
    // Constructor only. Unplugs after `unplug_s` seconds (0: at once, before
    // any open) and, when `replug_s` >= 0, plugs the board in again with
    // reset() `replug_s` seconds later (QV_VIRTUAL_UNPLUG_AFTER/_REPLUG_AFTER).
    void start_plug_script(double unplug_s, double replug_s);

    std::mutex m_;
    std::condition_variable cv_;  // replies, FIFO data, CPU start, unplug

    ChipSetup chip_setup_;
    Trace trace_;  // has its own lock

    // USB device
    bool plugged_ = true;
    uint64_t generation_ = 1;                   // plug generation; sessions of older ones are stale
    std::deque<std::vector<uint8_t>> replies_;  // endpoint 0x81 packets
    uint64_t no_device_refusals_ = 0;           // kept across reset()
    bool open_denied_ = false;                  // a setting: kept across reset()

    Fx2Core core_;
    ChipBus bus_;
    BridgeFirmware firmware_{bus_};
    StreamProducer producer_{m_, cv_};
    ScriptedFaults faults_;
};

}  // namespace vboard
