// The board's command protocol and the sample stream queue ("HS queue").
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "stream_ring.h"
#include "stream_thread.h"
#include "usb_device.h"

// Command messages (bulk OUT 0x01, replies on bulk IN 0x81, 300 ms each),
// bridge registers, the board control register and the stream ring filled by
// the stream thread from endpoint 0x88.
//
// Threads: every operation except the stream queue operations and
// device_lost() belongs to the GUI thread. bytes_available, samples_available,
// read_stream, dropped_bytes and ring_state may be called from one consumer
// thread while the stream thread runs; device_lost() from any thread.
//
// Results: every transfer is checked. A command succeeds when the board took
// the whole message, a reply when it arrived complete with its expected
// length. When a phase fails the operation sends nothing more and returns a
// negative error number: the port's (-ETIMEDOUT, -EPIPE, ...), -EIO for a
// message the board took only in part, -EPROTO for a short reply. After a
// failed reply the next operation that expects a reply first drains endpoint
// 0x81 (reads until one times out), so that a late reply is not taken for the
// answer to a later request; a healthy board never sees these extra reads.
//
// Loss: a transfer that fails with -ENODEV (the board was unplugged or reset)
// marks the board lost, also when the stream thread sees it, which then ends
// its loop. From then on every command operation sends nothing and returns
// kErrDeviceLost (-ENODEV, the same in both link profiles); the stream queue
// still hands out the bytes that arrived before the loss. A lost board stays
// lost: create a new board object once the device is back.
class UC_IBus_ : public USB_Device_, public JTAG_Adapter_ {
  public:
    // Allocates the ring and starts the stream thread, which reads endpoint
    // 0x88 at once (each read just times out until the stream is enabled).
    UC_IBus_(std::unique_ptr<qv::UsbPort> handle, const qv::LinkProfile& profile);
    // Stops the stream thread and waits for its last transfer before the ring
    // and the device go away.
    ~UC_IBus_() override;

    // True once the board is lost (see above). Lock-free; any thread.
    bool device_lost() const { return lost_.load(std::memory_order_acquire); }
    // True once the stream thread has left its loop (after the board was lost,
    // or while the object is being destroyed).
    bool stream_thread_ended() const;

    // Commands 1-4, 13-15 return 0 when the board took the message, else a
    // negative error number (kErrDeviceLost once the board is lost).
    // Command 1: 01 a b c d(16-bit).
    int send_cmd1(uint8_t a, uint8_t b, uint8_t c, uint16_t d);
    // Command 2: 02 a 00 00.
    int send_cmd2(uint8_t a);
    // Command 3: drives the lines in `mask` (1 nMisk, 2 nLoad) to `level`.
    int set_lines(uint8_t level, uint32_t mask);
    // Command 4: writes a 32-bit bridge register.
    int bridge_write(uint8_t space, uint8_t address, uint32_t value);
    // Command 5: reads a 32-bit bridge register into `*value` and returns 0,
    // or a negative error number with `*value` untouched when the request or
    // its reply failed. Prints "STATUS!=0: %.4x\n" when the reply's status
    // has bit 15 set; that is the bridge's verdict, not a link failure, so the
    // value is stored and 0 returned all the same.
    int bridge_read(uint8_t space, uint8_t address, uint32_t* value);
    // The same, returning the register's value on success and the negative
    // error number on failure. A value with bit 31 set reads as negative: use
    // the form above where that matters.
    int bridge_read(uint8_t space, uint8_t address);
    // Command 7 in chunks of at most 62 bytes (500 ms per transfer); the bytes
    // shifted out replace `bytes` chunk by chunk. Returns 0, or the error of
    // the first chunk that failed: no later chunk is sent, and that chunk and
    // the ones after it keep the bytes as sent.
    int jtag_scan(std::vector<uint8_t>& bytes) override;
    // Command 12. Returns 0, or a negative error number with `d` untouched.
    int get_board_descriptor(BoardDescriptor& d) override;
    // Command 13: 0D channel enable 00. Sends nothing and returns the invalid
    // argument error when enable < 0 or channel is not 0..3.
    int stream_control(int enable, int channel);
    // Command 15: 0F a b 00.
    int send_cmd15(uint8_t a, uint8_t b);

    // Sets bits shift..shift+width-1 of the board control register (bridge
    // space 2, address 10) to `value`, keeping the other bits from the last
    // successful write, and writes the register. width 1..32,
    // shift+width <= 32. A failed write leaves the kept value as it was.
    int set_control_field(int shift, int width, uint32_t value);
    // Receive mode 0..4 (bit 0, bit 1, bits 2-3 of the control register, one
    // write each); other values do nothing. Returns 0, or the error of the
    // first write that failed (the later ones are not sent).
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

    using RingState = StreamRing::State;
    // Snapshot of the ring's bookkeeping, for diagnostics.
    RingState ring_state();

  protected:
    // One command message without a reply: 0 when the board took all of it.
    int send(const uint8_t* msg, int length, unsigned timeout_ms = qv::kTimeoutMs);
    // One command message and its reply of exactly `reply_length` bytes.
    int request(const uint8_t* msg, int length, uint8_t* reply, int reply_length,
                unsigned timeout_ms = qv::kTimeoutMs);
    // kErrDeviceLost once the board is lost, else 0.
    int lost_check() const { return device_lost() ? qv::kErrDeviceLost : 0; }
    // Passes `rc` on; -ENODEV marks the board lost.
    int failed(int rc);

  private:
    friend class thr1;

    // Stream thread side: the ring it fills, and one read of endpoint 0x88.
    StreamRing& stream_ring() { return ring_; }
    int stream_transfer(uint8_t* dst, int length, int* moved);
    // Reads endpoint 0x81 until a read times out, discarding what comes.
    void drain_replies();

    uint32_t control_shadow_ = 0;
    std::atomic<bool> lost_{false};
    // A reply went missing or came incomplete: a late one may still be on its way.
    bool replies_suspect_ = false;

    // Guarded by its own "HS queue mutex".
    StreamRing ring_;

    // Last member: destroyed (joined) first, before anything it uses.
    std::unique_ptr<thr1> stream_thread_;
};
