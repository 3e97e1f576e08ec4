// The stream thread: a small wrapper around an OS thread (thread_) and the
// producer that drains endpoint 0x88 into the board's ring (thr1).
#pragma once

#include <atomic>
#include <memory>
#include <thread>

class UC_IBus_;

// Owns one OS thread running run(). Derived classes must call stop() in their
// own destructor, so that run() has returned before their members go away.
class thread_ {
  public:
    thread_() = default;
    thread_(const thread_&) = delete;
    thread_& operator=(const thread_&) = delete;
    // Sets the stop flag and waits for run() to return.
    virtual ~thread_();

    // The thread body; returns when it sees the stop flag.
    virtual void run() {}

    // Creates the OS thread running run(). Returns 0, or a negative error
    // number when no thread could be created (then nothing runs).
    int start();

    // Sets the stop flag and waits until run() has returned. Idempotent; call
    // from the thread that owns the object, never from run() itself.
    void stop();

    bool stop_requested() const { return stop_flag_.load(std::memory_order_acquire) != 0; }

  private:
    std::atomic<int> stop_flag_{0};
    std::thread thread_handle_;
};

// Producer of the stream ring: reads endpoint 0x88 of the owner's device
// without pause and appends what arrives to the owner's ring. Runs at the
// highest real-time priority the process may take (normal priority where that
// is refused) under the thread name "qv-stream". A read that fails because the
// device is gone (-ENODEV; the owner is then lost) ends the loop: the thread
// returns and reads nothing more.
class thr1 : public thread_ {
  public:
    // `owner` must outlive this object.
    explicit thr1(UC_IBus_* owner);
    ~thr1() override;

    void run() override;

    // True once run() has left its loop. Any thread.
    bool ended() const { return ended_.load(std::memory_order_acquire); }

  private:
    UC_IBus_* owner_;
    std::atomic<bool> ended_{false};
    // Landing place of a transfer the ring has no room for; its bytes are dropped.
    std::unique_ptr<uint8_t[]> scratch_;
};
