#include "pulse_output.h"

#include <pthread.h>
#include <pulse/error.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace qvradio {
namespace {

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int SteadyClock::wait_due(int timeout_ms) {
    if (!started_) {
        started_ = true;
        start_s_ = now_s();
    }
    const double due = start_s_ + double(submitted_) / 44100.0;
    const double wait = std::min(due - now_s(), timeout_ms / 1000.0);
    if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    return now_s() >= due ? 1 : 0;
}

PulseOutput::~PulseOutput() { close(false); }

int PulseOutput::open(const char* stream_name, int block_frames, std::string* error) {
    block_frames_ = block_frames;
    block_.assign(size_t(2) * block_frames, 0);
    pa_sample_spec spec;
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = 44100;
    spec.channels = 2;
    const uint32_t block_bytes = uint32_t(4) * block_frames;
    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = 2 * block_bytes;  // room for a block beside the margin
    attr.prebuf = block_bytes;       // play as soon as the first block is in
    attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(-1);
    int pa_error = 0;
    stream_ = pa_simple_new(nullptr, "qv-radio", PA_STREAM_PLAYBACK, nullptr, stream_name, &spec,
                            nullptr, &attr, &pa_error);
    if (stream_ == nullptr) {
        *error = std::string("Cannot play through the sound server: ") + pa_strerror(pa_error) +
                 " (is PulseAudio running? -o FILE records without it).";
        return -EPIPE;
    }
    thread_ = std::thread([this] { run(); });
    return 0;
}

void PulseOutput::fail(const char* what, int pa_error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
    error_ = std::string("The sound server ") + what + ": " + pa_strerror(pa_error) + ".";
    changed_.notify_all();
}

void PulseOutput::run() {
    pthread_setname_np(pthread_self(), "qv-pulse");
    // The latency the server reports is the time until a sample written now
    // would be heard, the sink's buffer included: with nothing written it
    // comes down to 0.
    // A sink that keeps a large buffer of its own (a null sink nobody
    // records renders seconds at a time) may never report less than the
    // margin: 10 ms after a block's time since the last write the next block
    // is due all the same, so the output never stalls.
    const pa_usec_t margin = static_cast<pa_usec_t>(kMarginS * 1e6);
    const double overdue_s = double(block_frames_) / 44100 + 0.010;
    double last_write = -1.0;
    std::vector<int16_t> block(block_.size());
    for (;;) {
        // Until the server holds no more than the margin, or the block is overdue.
        for (;;) {
            int pa_error = 0;
            const pa_usec_t latency = pa_simple_get_latency(stream_, &pa_error);
            if (latency == static_cast<pa_usec_t>(-1)) return fail("went away", pa_error);
            if (latency <= margin) break;
            const double left_s = last_write < 0 ? 1.0 : last_write + overdue_s - now_s();
            if (left_s <= 0) break;
            const auto wait = std::chrono::microseconds(std::min<pa_usec_t>(
                {latency - margin, 20000, static_cast<pa_usec_t>(left_s * 1e6) + 100}));
            std::unique_lock<std::mutex> lock(mutex_);
            if (changed_.wait_for(lock, wait, [this] { return quit_; })) return;
        }
        {
            std::unique_lock<std::mutex> lock(mutex_);
            due_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return submitted_ || quit_; });
            if (!submitted_) return;
            block.swap(block_);
            submitted_ = false;
            due_ = false;
        }
        int pa_error = 0;
        last_write = now_s();
        if (pa_simple_write(stream_, block.data(), block.size() * sizeof(int16_t), &pa_error) < 0)
            return fail("went away", pa_error);
    }
}

int PulseOutput::wait_due(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [this] { return failed_ || (due_ && !submitted_); });
    if (failed_) return -EPIPE;
    return due_ && !submitted_ ? 1 : 0;
}

void PulseOutput::submit(const int16_t* frames, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t n = std::min<size_t>(size_t(2) * count, block_.size());
    std::copy(frames, frames + n, block_.begin());
    std::fill(block_.begin() + n, block_.end(), 0);
    submitted_ = true;
    changed_.notify_all();
}

std::string PulseOutput::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void PulseOutput::close(bool drain) {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
            changed_.notify_all();
        }
        thread_.join();
    }
    if (stream_ == nullptr) return;
    int pa_error = 0;
    if (drain && !failed_) pa_simple_drain(stream_, &pa_error);
    pa_simple_free(stream_);
    stream_ = nullptr;
}

}  // namespace qvradio
