// In-process stand-in for a USB device behind qv::UsbPort: records every
// operation except stream reads, answers reply reads from a script and feeds
// endpoint 0x88 from a script of chunks. The test keeps a shared_ptr to the
// state, so it can look at the traffic after the board (and the port) is gone.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "protocol.h"
#include "usb_port.h"

struct UsbOp {
    enum Kind { Control, BulkOut, BulkIn, SetConfig, Claim, AltSetting, Close } kind;
    explicit UsbOp(Kind k) : kind(k) {}
    uint8_t endpoint = 0;
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    int arg1 = 0;
    int arg2 = 0;
    unsigned timeout_ms = 0;
    std::vector<uint8_t> data;
};

struct Chunk {
    std::vector<uint8_t> bytes;
    int rc = 0;  // result of the read that delivers it (e.g. -ETIMEDOUT after a partial read)
};

struct FakeUsbState {
    std::mutex m;
    std::condition_variable cv;
    std::vector<UsbOp> ops;     // everything but reads of endpoint 0x88
    std::deque<Chunk> replies;  // answers to reads of endpoint 0x81
    std::deque<Chunk> stream;   // answers to reads of endpoint 0x88
    std::vector<int> stream_read_lengths;
    int stream_in_flight = 0;
    bool hold_stream = false;  // stream reads wait here until released
    bool closed = false;
    bool stream_read_while_closed = false;
    bool close_during_stream_read = false;
    bool has_ids = false;
    int vendor = 0, product = 0;

    void push_reply(std::vector<uint8_t> bytes, int rc = 0) {
        std::lock_guard<std::mutex> lock(m);
        replies.push_back({std::move(bytes), rc});
    }
    void push_stream(std::vector<uint8_t> bytes, int rc = 0) {
        {
            std::lock_guard<std::mutex> lock(m);
            stream.push_back({std::move(bytes), rc});
        }
        cv.notify_all();
    }
    void release_stream() {
        {
            std::lock_guard<std::mutex> lock(m);
            hold_stream = false;
        }
        cv.notify_all();
    }
    std::vector<UsbOp> snapshot() {
        std::lock_guard<std::mutex> lock(m);
        return ops;
    }
    // Payloads of the bulk OUT transfers to endpoint 0x01, in order.
    std::vector<std::vector<uint8_t>> commands() {
        std::vector<std::vector<uint8_t>> out;
        for (const UsbOp& op : snapshot())
            if (op.kind == UsbOp::BulkOut && op.endpoint == qv::kEpCommandOut)
                out.push_back(op.data);
        return out;
    }
    // The recorded operations, one line each, in the style of the virtual
    // board's trace with the timeout appended: "ctrl 40 a0 e600 0000 : 01 @300",
    // "out 01 : 02 0a 00 00 @300", "in 81 [16] @300", "config 1", "close".
    std::vector<std::string> trace() {
        std::vector<std::string> lines;
        char buf[64];
        for (const UsbOp& op : snapshot()) {
            switch (op.kind) {
                case UsbOp::Control:
                    std::snprintf(buf, sizeof buf, "ctrl %02x %02x %04x %04x :", op.request_type,
                                  op.request, op.value, op.index);
                    break;
                case UsbOp::BulkOut:
                    std::snprintf(buf, sizeof buf, "out %02x :", op.endpoint);
                    break;
                case UsbOp::BulkIn:
                    std::snprintf(buf, sizeof buf, "in %02x [%d]", op.endpoint, op.arg1);
                    break;
                case UsbOp::SetConfig:
                    std::snprintf(buf, sizeof buf, "config %d", op.arg1);
                    break;
                case UsbOp::Claim:
                    std::snprintf(buf, sizeof buf, "claim %d", op.arg1);
                    break;
                case UsbOp::AltSetting:
                    std::snprintf(buf, sizeof buf, "altsetting %d %d", op.arg1, op.arg2);
                    break;
                case UsbOp::Close:
                    std::snprintf(buf, sizeof buf, "close");
                    break;
            }
            std::string line = buf;
            for (uint8_t b : op.data) {
                std::snprintf(buf, sizeof buf, " %02x", b);
                line += buf;
            }
            if (op.timeout_ms) line += " @" + std::to_string(op.timeout_ms);
            lines.push_back(line);
        }
        return lines;
    }
    void clear_ops() {
        std::lock_guard<std::mutex> lock(m);
        ops.clear();
    }
    size_t stream_left() {
        std::lock_guard<std::mutex> lock(m);
        return stream.size();
    }
};

class FakeUsbPort : public qv::UsbPort {
  public:
    explicit FakeUsbPort(std::shared_ptr<FakeUsbState> state) : s_(std::move(state)) {}

    int control_out(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                    const uint8_t* data, uint16_t length, unsigned timeout_ms) override {
        UsbOp op(UsbOp::Control);
        op.request_type = request_type;
        op.request = request;
        op.value = value;
        op.index = index;
        op.timeout_ms = timeout_ms;
        op.data.assign(data, data + length);
        record(std::move(op));
        return length;
    }

    int bulk_write(uint8_t endpoint, const uint8_t* data, int length,
                   unsigned timeout_ms) override {
        UsbOp op(UsbOp::BulkOut);
        op.endpoint = endpoint;
        op.timeout_ms = timeout_ms;
        op.data.assign(data, data + length);
        record(std::move(op));
        return length;
    }

    int bulk_read(uint8_t endpoint, uint8_t* data, int length, unsigned timeout_ms,
                  int* transferred) override {
        *transferred = 0;
        if (endpoint == qv::kEpStreamIn) return stream_read(data, length, timeout_ms, transferred);
        std::lock_guard<std::mutex> lock(s_->m);
        UsbOp op(UsbOp::BulkIn);
        op.endpoint = endpoint;
        op.arg1 = length;
        op.timeout_ms = timeout_ms;
        s_->ops.push_back(op);
        if (s_->replies.empty()) return -ETIMEDOUT;  // a lost reply
        Chunk c = std::move(s_->replies.front());
        s_->replies.pop_front();
        const int n = std::min<int>(length, static_cast<int>(c.bytes.size()));
        std::memcpy(data, c.bytes.data(), n);
        *transferred = n;
        return c.rc;
    }

    int set_configuration(int configuration) override {
        UsbOp op(UsbOp::SetConfig);
        op.arg1 = configuration;
        record(std::move(op));
        return 0;
    }
    int claim_interface(int interface_number) override {
        UsbOp op(UsbOp::Claim);
        op.arg1 = interface_number;
        record(std::move(op));
        return 0;
    }
    int set_alt_setting(int interface_number, int alt_setting) override {
        UsbOp op(UsbOp::AltSetting);
        op.arg1 = interface_number;
        op.arg2 = alt_setting;
        record(std::move(op));
        return 0;
    }
    void close() override {
        std::lock_guard<std::mutex> lock(s_->m);
        if (s_->closed) return;
        if (s_->stream_in_flight > 0) s_->close_during_stream_read = true;
        s_->closed = true;
        s_->ops.push_back(UsbOp(UsbOp::Close));
    }
    bool device_ids(int* vendor, int* product) override {
        std::lock_guard<std::mutex> lock(s_->m);
        if (!s_->has_ids) return false;
        *vendor = s_->vendor;
        *product = s_->product;
        return true;
    }

  private:
    void record(UsbOp op) {
        std::lock_guard<std::mutex> lock(s_->m);
        s_->ops.push_back(std::move(op));
    }

    // Delivers the next scripted chunk; with none, waits a tenth of the
    // timeout for one and then times out. While hold_stream is set the read
    // stays in flight until the test releases it.
    int stream_read(uint8_t* data, int length, unsigned timeout_ms, int* transferred) {
        std::unique_lock<std::mutex> lock(s_->m);
        if (s_->closed) s_->stream_read_while_closed = true;
        s_->stream_read_lengths.push_back(length);
        ++s_->stream_in_flight;
        s_->cv.notify_all();
        s_->cv.wait(lock, [&] { return !s_->hold_stream; });
        if (s_->stream.empty())
            s_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms / 10),
                            [&] { return !s_->stream.empty(); });
        --s_->stream_in_flight;
        if (s_->stream.empty()) return -ETIMEDOUT;
        Chunk c = std::move(s_->stream.front());
        s_->stream.pop_front();
        const int n = std::min<int>(length, static_cast<int>(c.bytes.size()));
        std::memcpy(data, c.bytes.data(), n);
        *transferred = n;
        s_->cv.notify_all();
        return c.rc;
    }

    std::shared_ptr<FakeUsbState> s_;
};
