#include "stream_ring.h"

#include <cstring>

StreamRing::StreamRing(int capacity)
    : capacity_(capacity), ring_(new uint8_t[capacity]()), wrap_end_(capacity - 1) {}

uint8_t* StreamRing::reserve(int length) {
    std::lock_guard<std::mutex> lock(hs_queue_mutex_);
    bool lapped =
        write_position_ < read_position_ || (write_position_ == read_position_ && count_ > 0);
    if (!lapped && write_position_ + length >= capacity_) {
        wrap_end_ = write_position_;
        write_position_ = 0;
        lapped = read_position_ > 0 || count_ > 0;
    }
    if (lapped && write_position_ + length > read_position_) return nullptr;
    return ring_.get() + write_position_;
}

void StreamRing::publish(int n) {
    std::lock_guard<std::mutex> lock(hs_queue_mutex_);
    count_ += n;
    write_position_ += n;
}

void StreamRing::drop(int n) {
    std::lock_guard<std::mutex> lock(hs_queue_mutex_);
    dropped_ += static_cast<uint64_t>(n);
}

int StreamRing::read(int n, void* dst) {
    if (n < 0) return qv::kErrInvalid;
    uint8_t* out = static_cast<uint8_t*>(dst);
    std::lock_guard<std::mutex> lock(hs_queue_mutex_);
    if (n > count_) return qv::kErrInvalid;
    if (n == 0) return 0;
    const int first = read_position_ + n < wrap_end_ ? n : wrap_end_ - read_position_;
    std::memcpy(out, ring_.get() + read_position_, first);
    read_position_ += first;
    if (first < n) {
        std::memcpy(out + first, ring_.get(), n - first);
        read_position_ = n - first;
        // The consumer has left the tail: the old wrap end no longer bounds
        // the bytes ahead of it.
        wrap_end_ = capacity_ - 1;
    }
    count_ -= n;
    return 0;
}

int StreamRing::count() {
    std::lock_guard<std::mutex> lock(hs_queue_mutex_);
    return count_;
}

uint64_t StreamRing::dropped() {
    std::lock_guard<std::mutex> lock(hs_queue_mutex_);
    return dropped_;
}

StreamRing::State StreamRing::state() {
    std::lock_guard<std::mutex> lock(hs_queue_mutex_);
    return {count_, read_position_, write_position_, wrap_end_, dropped_};
}
