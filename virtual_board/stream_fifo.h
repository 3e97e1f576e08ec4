// The FX2-side FIFO of the sample stream: a fixed byte ring that takes whole
// frames from the chip and hands bytes to the host. Not thread-safe: the
// stream producer that owns it is guarded by the virtual board's mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vboard {

class StreamFifo {
  public:
    explicit StreamFifo(size_t capacity_bytes) : buf_(capacity_bytes) {}

    size_t size() const { return size_; }
    size_t capacity() const { return buf_.size(); }
    void clear() { head_ = size_ = 0; }

    // Appends the first frames of `frames` (each `frame_bytes` long) that fit
    // whole; returns how many frames were taken. The rest is the caller's loss.
    size_t push_frames(const uint8_t* frames, size_t count, size_t frame_bytes) {
        const size_t fit = (buf_.size() - size_) / frame_bytes;
        const size_t take = count < fit ? count : fit;
        const size_t bytes = take * frame_bytes;
        const size_t tail = (head_ + size_) % buf_.size();
        const size_t first = bytes < buf_.size() - tail ? bytes : buf_.size() - tail;
        std::memcpy(buf_.data() + tail, frames, first);
        std::memcpy(buf_.data(), frames + first, bytes - first);
        size_ += bytes;
        return take;
    }

    // Moves up to `n` bytes to `dst`; returns how many.
    size_t pop(uint8_t* dst, size_t n) {
        const size_t take = n < size_ ? n : size_;
        const size_t first = take < buf_.size() - head_ ? take : buf_.size() - head_;
        std::memcpy(dst, buf_.data() + head_, first);
        std::memcpy(dst + first, buf_.data(), take - first);
        head_ = (head_ + take) % buf_.size();
        size_ -= take;
        return take;
    }

  private:
    std::vector<uint8_t> buf_;
    size_t head_ = 0;
    size_t size_ = 0;
};

}  // namespace vboard
