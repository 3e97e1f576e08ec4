// The faults a test scripts through vboard_control.h: each one, once armed,
// affects the next matching event only and is then disarmed; reset() clears
// them all. What each one does is told in vboard_control.h; the virtual board
// asks here at each event whether one is due.
//
// Threads: not thread-safe; the virtual board's mutex guards it.
#pragma once

#include <cstddef>

namespace vboard {

class ScriptedFaults {
  public:
    void clear() { *this = ScriptedFaults(); }

    void stall_next_command() { stall_command_ = true; }
    void stall_next_reply() { stall_reply_ = true; }
    void short_next_reply(size_t bytes) {
        short_reply_ = true;
        short_reply_bytes_ = bytes;
    }
    void delay_next_reply(unsigned ms) {
        delay_reply_ = true;
        delay_reply_ms_ = ms;
    }
    void cut_next_stream_read(size_t bytes) {
        cut_stream_read_ = true;
        cut_stream_bytes_ = bytes;
    }

    // The take_ functions tell whether the fault is due at this event and
    // disarm it; the armed amount goes to the argument.
    bool take_command_stall() { return take(&stall_command_); }
    bool take_reply_stall() { return take(&stall_reply_); }
    bool take_reply_cut(size_t* bytes) {
        *bytes = short_reply_bytes_;
        return take(&short_reply_);
    }
    bool take_reply_delay(unsigned* ms) {
        *ms = delay_reply_ms_;
        return take(&delay_reply_);
    }
    bool take_stream_cut(size_t* bytes) {
        *bytes = cut_stream_bytes_;
        return take(&cut_stream_read_);
    }

  private:
    static bool take(bool* armed) {
        const bool due = *armed;
        *armed = false;
        return due;
    }

    bool stall_command_ = false;
    bool stall_reply_ = false;
    bool short_reply_ = false;
    size_t short_reply_bytes_ = 0;
    bool delay_reply_ = false;
    unsigned delay_reply_ms_ = 0;
    bool cut_stream_read_ = false;
    size_t cut_stream_bytes_ = 0;
};

}  // namespace vboard
