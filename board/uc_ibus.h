// The board's command protocol and the sample stream ring ("HS queue").
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "stream_thread.h"
#include "usb_device.h"

// Command messages (bulk OUT 0x01, replies on bulk IN 0x81, 300 ms each),
// bridge registers, the board control register and the stream ring filled by
// the stream thread from endpoint 0x88.
//
// Threads: every operation except the stream queue operations belongs to the
// GUI thread. bytes_available, samples_available, read_stream, dropped_bytes
// and ring_state may be called from one consumer thread while the stream
// thread runs. Transfer results are not checked: a lost reply leaves the
// reply buffer zero.
class UC_IBus_ : public USB_Device_, public JTAG_Adapter_ {
  public:
    // Allocates the ring and starts the stream thread, which reads endpoint
    // 0x88 at once (each read just times out until the stream is enabled).
    UC_IBus_(std::unique_ptr<qv::UsbPort> handle, const qv::LinkProfile& profile);
    // Stops the stream thread and waits for its last transfer before the ring
    // and the device go away.
    ~UC_IBus_() override;

    // Command 1: 01 a b c d(16-bit).
    int send_cmd1(uint8_t a, uint8_t b, uint8_t c, uint16_t d);
    // Command 2: 02 a 00 00.
    int send_cmd2(uint8_t a);
    // Command 3: drives the lines in `mask` (1 nMisk, 2 nLoad) to `level`.
    int set_lines(uint8_t level, uint32_t mask);
    // Command 4: writes a 32-bit bridge register.
    int bridge_write(uint8_t space, uint8_t address, uint32_t value);
    // Command 5: reads a 32-bit bridge register. Prints "STATUS!=0: %.4x\n"
    // when the reply's status has bit 15 set and returns the value regardless.
    int bridge_read(uint8_t space, uint8_t address);
    // Command 7 in chunks of at most 62 bytes (500 ms per transfer); the bytes
    // shifted out replace `bytes` chunk by chunk (a lost reply leaves the sent
    // bytes in place). Returns 0.
    int jtag_scan(std::vector<uint8_t>& bytes) override;
    // Command 12.
    int get_board_descriptor(BoardDescriptor& d) override;
    // Command 13: 0D channel enable 00. Sends nothing and returns the invalid
    // argument error when enable < 0 or channel is not 0..3.
    int stream_control(int enable, int channel);
    // Command 15: 0F a b 00.
    int send_cmd15(uint8_t a, uint8_t b);

    // Sets bits shift..shift+width-1 of the board control register (bridge
    // space 2, address 10) to `value`, keeping the other bits from the last
    // write, and writes the register. width 1..32, shift+width <= 32.
    int set_control_field(int shift, int width, uint32_t value);
    // Receive mode 0..4 (bit 0, bit 1, bits 2-3 of the control register, one
    // write each); other values do nothing. Returns 0.
    int set_rx_mode(int mode);

    // Stream queue. `queue` 0 is the one stream; any other queue is empty.
    // Bytes queued and not yet read (0 for queue != 0).
    int bytes_available(int queue);
    // Whole 4-byte frames queued in queue 0.
    int samples_available();
    // Copies exactly `n` bytes, oldest first, to `dst` and removes them from
    // the queue. Returns 0, or the invalid argument error without copying when
    // queue != 0, n < 0, or fewer than n bytes are queued. Never blocks on USB.
    int read_stream(int queue, int n, void* dst);
    // Bytes the stream thread had to drop because the ring had no room for
    // them when they arrived (the consumer fell behind by a whole ring). Whole
    // transfers are dropped, so the queued bytes stay a consistent sequence
    // of transfers.
    uint64_t dropped_bytes();

    struct RingState {
        int count;
        int read_position;
        int write_position;
        int wrap_end;
        uint64_t dropped;
    };
    // Snapshot of the ring's bookkeeping, for diagnostics.
    RingState ring_state();

  protected:
    int send(const uint8_t* msg, int length, unsigned timeout_ms = qv::kTimeoutMs);
    int receive(uint8_t* buf, int length, unsigned timeout_ms = qv::kTimeoutMs);

  private:
    friend class thr1;

    // Stream thread side. Decides, under the mutex, where the next transfer of
    // up to `length` bytes lands: in the ring (returns the write pointer,
    // wrapping to index 0 first when the transfer would reach the ring's last
    // byte) or nowhere (nullptr) when the ring has no room for it.
    uint8_t* stream_reserve(int length);
    // Publishes `n` bytes of the transfer that stream_reserve placed, or
    // counts them as dropped when it placed none.
    void stream_publish(int n, bool into_ring);
    int stream_transfer(uint8_t* dst, int length, int* moved);

    uint32_t control_shadow_ = 0;

    // "HS queue mutex": guards count_, the three positions and dropped_. Held
    // only for bookkeeping and copying, never across a USB transfer.
    std::mutex hs_queue_mutex_;
    std::unique_ptr<uint8_t[]> ring_;
    int count_ = 0;
    int read_position_ = 0;
    int write_position_ = 0;
    int wrap_end_ = qv::kRingInitialWrapEnd;
    uint64_t dropped_ = 0;

    // Last member: destroyed (joined) first, before anything it uses.
    std::unique_ptr<thr1> stream_thread_;
};
