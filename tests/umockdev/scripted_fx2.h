// A scripted FX2 below the USB library: an umockdev testbed with one device
// 04b4:8613 whose usbdevfs ioctls are answered here, so that the unchanged
// libusb-1.0 and libusb-0.1 of the system talk to it as to a board on the bus.
//
// It answers what the board link uses: the FX2 download requests (vendor
// request 0xA0 writing memory and CPUCS at 0xE600), the bridge firmware's
// command protocol (board/protocol.h; the command semantics follow the
// virtual board's, virtual_board/README.md, with the simple chip's registers:
// register 1 reads 0x5101) and the counter stream on bulk IN 0x88 (frame n
// carries I = n & 0xFFFF, Q = n >> 16, n from 0 when the stream is enabled),
// paced at a rate the test sets, through a 32 KiB FIFO that drops whole
// frames when full. Before the firmware runs the bulk endpoints NAK: their
// URBs stay pending until the host discards them.
//
// Faults, each as the kernel and the device would show it:
//   halt(ep): the endpoint stalls; its URBs complete with -EPIPE until the
//     host clears the halt (USBDEVFS_CLEAR_HALT or CLEAR_FEATURE).
//   short_next_reply(n): the next reply is cut to n bytes (a short packet).
//   withhold_next_command() / withhold_next_reply(): the next command is NAKed
//     for good (never executed) / the next reply never comes (the command is
//     executed): the host's URB is never completed, it times out and
//     discards it.
//   delay_next_reply(ms): the next reply comes `ms` after its command.
//   cut_next_stream_read(n): the next stream URB gets n bytes (whole 512-byte
//     packets), then nothing until the host discards it.
//   unplug(): URBs in flight complete with -ESHUTDOWN, every later ioctl on
//     the node fails with ENODEV, the node goes away and a "remove" uevent is
//     sent; plug() brings a bare FX2 back under a new device number.
//   deny_access(true): the node may be read but not written (mode 0444, as
//     a node without the udev rule is to a user): an open for writing fails
//     with EACCES, one for reading works but every ioctl on it fails with
//     EPERM, as usbdevfs does. The tests drop root's file-access rights
//     around the open (as_unprivileged).
//
// Threads: every member may be called from any thread. The ioctls arrive on
// the testbed's worker thread; a clock thread of its own paces the stream and
// completes the requests that wait (URB reaps, delayed replies). One mutex
// guards the device state.
//
// The process must run under the umockdev preload (libumockdev-preload.so.0,
// see run_under_umockdev()); there is one instance per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fx2test {

using Bytes = std::vector<uint8_t>;

constexpr double kDefaultFrameRate = 200000.0;  // frames/s of the counter stream
constexpr size_t kFifoBytes = 32768;
constexpr uint32_t kFirmwareId = 0x01003A30;  // bridge register (2, 0) while running
constexpr uint16_t kFirmwareVersion = 0x0100;
constexpr uint16_t kChipDeviceId = 0x5101;  // chip register 1
constexpr int kBus = 1;

struct State {
    bool plugged = false;
    int devnum = 0;
    bool cpu_running = false;
    bool stream_enabled = false;
    uint32_t lines = 0;
    uint32_t board_control = 0;
    int bus_cycles = 0;
    uint64_t commands = 0;         // commands executed
    uint64_t frames_produced = 0;  // frames of the current stream
    uint64_t stream_bytes_delivered = 0;
    uint64_t fifo_bytes_lost = 0;
    uint64_t submitted_urbs = 0;      // by the host since the last plug()
    uint64_t no_device_refusals = 0;  // ioctls refused with ENODEV since the last plug()
    uint64_t discarded_urbs = 0;      // cancelled by the host since the last plug()
    uint64_t halted_urbs = 0;         // completed with -EPIPE since the last plug()
};

class ScriptedFx2 {
  public:
    // The process's testbed with a bare FX2 plugged in. Aborts with a message
    // when the process does not run under the preload.
    static ScriptedFx2& instance();

    // Power-on FX2 (CPU in reset, memory zeroed, no faults, frame rate back
    // to the default) under a new device number; a previous device is
    // unplugged first.
    void plug();
    void unplug();
    void deny_access(bool deny);

    State state();
    // Bytes of FX2 memory at `address`.
    Bytes memory(uint16_t address, size_t length);
    uint16_t chip_register(int address);
    // One line per request that reached the device since the last plug(), in
    // the virtual board's trace format ("ctrl 40 a0 e600 0000 : 01",
    // "config 1", "claim 0", "altsetting 0 1", "out 01 : 04 02 ...",
    // "in 81 : ..."), plus "clear_halt 88" for a cleared halt. Stream reads
    // and failed requests leave no line.
    std::vector<std::string> log();
    std::string node_path() const;  // /dev/bus/usb/001/DDD of the current device

    void set_frame_rate(double frames_per_second);
    void halt(uint8_t endpoint);
    void short_next_reply(size_t bytes);
    void withhold_next_command();
    void withhold_next_reply();
    void delay_next_reply(unsigned ms);
    void cut_next_stream_read(size_t bytes);

    struct Impl;

  private:
    ScriptedFx2();
    ~ScriptedFx2();
    std::unique_ptr<Impl> impl_;
};

// Re-executes the program with the umockdev preload in front of LD_PRELOAD
// (and AddressSanitizer told not to insist on coming first) unless it runs
// under it already. Call first thing in main().
void run_under_umockdev(int argc, char** argv);

// Runs `open` with the file-access rights of an unprivileged user on this
// thread (setfsuid), so that a node's mode refuses it also when the tests
// run as root.
template <typename F>
auto as_unprivileged(F open);

}  // namespace fx2test

#include <sys/fsuid.h>

namespace fx2test {
template <typename F>
auto as_unprivileged(F open) {
    const int old = setfsuid(65534);
    auto result = open();
    setfsuid(old);
    return result;
}
}  // namespace fx2test
