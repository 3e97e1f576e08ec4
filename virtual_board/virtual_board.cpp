#include "virtual_board.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "board_settings.h"
#include "protocol.h"

namespace vboard {

namespace {

static_assert(kVendorId == qv::kFx2Vendor && kProductId == qv::kFx2Product,
              "the virtual board enumerates as the FX2 the board link looks for");

constexpr uint8_t kVendorIn = 0xC0;        // vendor, device, device-to-host
constexpr int kAltSettings = 4;            // the FX2 default interface has alternate settings 0..3
constexpr size_t kMaxPendingReplies = 16;  // replies nobody fetched are dropped beyond this

// A board without its chip would answer nothing sensible. The launcher checks
// the scene before it starts the program, so a failure here is a scene file
// named by hand in QV_VIRTUAL_SCENE: say so and end the program.
std::shared_ptr<VirtualChip> make_chip_or_exit(const ChipSetup& setup) {
    std::string error;
    std::shared_ptr<VirtualChip> chip = make_chip(setup, &error);
    if (!chip) {
        std::fprintf(stderr, "qv-virtual-board: %s\n", error.c_str());
        std::exit(2);
    }
    return chip;
}

}  // namespace

VirtualBoard& VirtualBoard::instance() {
    // Never destroyed: the program's threads may still be inside transfers at exit.
    static VirtualBoard* board = new VirtualBoard();
    return *board;
}

VirtualBoard::VirtualBoard() {
    const BoardSettings settings = settings_from_environment();
    chip_setup_ = settings.chip;
    open_denied_ = settings.deny_open;
    if (!settings.trace_path.empty()) trace_.open(settings.trace_path);
    bus_.set_chip(make_chip_or_exit(chip_setup_));
    if (settings.unplug_after_s >= 0.0)
        start_plug_script(settings.unplug_after_s, settings.replug_after_s);
}

void VirtualBoard::start_plug_script(double unplug_s, double replug_s) {
    auto after = [](double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    const Clock::time_point unplug_at = Clock::now() + after(unplug_s);
    const Clock::duration replug_delay = after(replug_s < 0.0 ? 0.0 : replug_s);
    const bool replug = replug_s >= 0.0;
    // Unplugged from the start: so before the program's first open.
    const bool now = unplug_s == 0.0;
    if (now) plugged_ = false;
    if (now && !replug) return;
    // The board lives as long as the process; so does this thread.
    std::thread([this, unplug_at, replug_delay, replug, now] {
        pthread_setname_np(pthread_self(), "qv-vboard-plug");
        if (!now) {
            std::this_thread::sleep_until(unplug_at);
            unplug();
        }
        if (!replug) return;
        std::this_thread::sleep_for(replug_delay);
        reset();
    }).detach();
}

template <class Pred>
Result VirtualBoard::wait_for(Lock& lock, const Session& s, unsigned timeout_ms, Pred pred) {
    auto done = [&] { return gone(s) || pred(); };
    if (timeout_ms == 0) {
        cv_.wait(lock, done);
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), done)) {
        return Result::timeout;
    }
    return gone(s) ? refuse_locked() : Result::ok;
}

// The producer fills the FIFO once per tick (up to 10 ms), the real one
// fills continuously: a read whose timeout is short against the tick (10 ms
// with libusb-0.1) would time out on a FIFO the hardware would have fed. After
// half its timeout on an empty FIFO the read has the producer top it up.
template <typename Pred>
Result VirtualBoard::wait_for_stream(Lock& lock, const Session& s, unsigned timeout_ms, Pred pred) {
    if (timeout_ms < 2) return wait_for(lock, s, timeout_ms, pred);
    const unsigned half = timeout_ms / 2;
    const Result r = wait_for(lock, s, half, pred);
    if (r != Result::timeout) return r;
    producer_.top_up();
    return wait_for(lock, s, timeout_ms - half, pred);
}

// ---- Device level ---------------------------------------------------------

Result VirtualBoard::open(uint16_t vendor, uint16_t product, std::unique_ptr<Session>* session) {
    Lock lock(m_);
    session->reset();
    if (!plugged_ || vendor != kVendorId || product != kProductId) return Result::no_device;
    // The device is there but its node cannot be opened: nothing reaches it.
    if (open_denied_) return Result::access;
    trace_.line(format("open %04x %04x", vendor, product));
    session->reset(new Session(generation_));
    return Result::ok;
}

void VirtualBoard::close(Session& s) {
    Lock lock(m_);
    s.claimed_ = false;
    trace_.line("close");
}

Result VirtualBoard::set_configuration(Session& s, int configuration) {
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    if (configuration != qv::kUsbConfiguration && configuration != 0 && configuration != -1)
        return Result::not_found;
    trace_.line(format("config %d", configuration));
    return Result::ok;
}

Result VirtualBoard::claim_interface(Session& s, int interface_number) {
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    if (interface_number != qv::kUsbInterface) return Result::not_found;
    s.claimed_ = true;
    trace_.line(format("claim %d", interface_number));
    return Result::ok;
}

Result VirtualBoard::release_interface(Session& s, int interface_number) {
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    if (interface_number != qv::kUsbInterface || !s.claimed_) return Result::not_found;
    s.claimed_ = false;
    trace_.line(format("release %d", interface_number));
    return Result::ok;
}

Result VirtualBoard::set_alt_setting(Session& s, int interface_number, int alt) {
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    if (interface_number != qv::kUsbInterface || !s.claimed_ || alt < 0 || alt >= kAltSettings)
        return Result::not_found;
    trace_.line(format("altsetting %d %d", interface_number, alt));
    return Result::ok;
}

Result VirtualBoard::control(Session& s, uint8_t request_type, uint8_t request, uint16_t value,
                             uint16_t index, uint8_t* data, uint16_t length,
                             unsigned /*timeout_ms*/, int* moved) {
    *moved = 0;
    if (length > 0 && !data) return Result::invalid_param;
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    // The FX2 core serves 0xA0 itself, with or without firmware.
    if (request != qv::kFx2RequestFirmwareLoad ||
        (request_type != qv::kVendorRequestOut && request_type != kVendorIn) ||
        size_t(value) + length > Fx2Core::kMemoryBytes) {
        return Result::pipe;
    }
    if (request_type == qv::kVendorRequestOut) {
        for (uint16_t k = 0; k < length; ++k) {
            switch (core_.write(size_t(value) + k, data[k])) {
                case Fx2Core::Cpu::started:
                    start_firmware_locked();
                    break;
                case Fx2Core::Cpu::stopped:
                    stop_firmware_locked();
                    break;
                case Fx2Core::Cpu::unchanged:
                    break;
            }
        }
    } else {
        core_.read(value, data, length);
    }
    *moved = length;
    trace_.line(format("ctrl %02x %02x %04x %04x", request_type, request, value, index), data,
                length);
    return Result::ok;
}

void VirtualBoard::start_firmware_locked() {
    uint16_t version = 0;
    const uint32_t id = core_.firmware_id(&version);
    firmware_.start(id, version);
    replies_.clear();
    producer_.clear_fifo();
    producer_.start();
    stream_changed_locked();
    cv_.notify_all();
}

void VirtualBoard::stop_firmware_locked() {
    firmware_.stop();
    producer_.clear_fifo();
    replies_.clear();
    stream_changed_locked();
}

void VirtualBoard::stream_changed_locked() {
    producer_.set_source({plugged_ && core_.running() && firmware_.stream_enabled(), bus_.chip(),
                          firmware_.stream_channel()});
}

// ---- Bulk endpoints -------------------------------------------------------

Result VirtualBoard::bulk_out(Session& s, uint8_t endpoint, const uint8_t* data, int length,
                              unsigned timeout_ms, int* moved) {
    *moved = 0;
    if (length < 0 || (length > 0 && !data)) return Result::invalid_param;
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    if (endpoint != qv::kEpCommandOut) return Result::not_found;
    if (faults_.take_command_stall()) {
        const Result r = wait_for(lock, s, timeout_ms, [] { return false; });
        return r == Result::ok ? Result::timeout : r;
    }
    // Without running firmware the endpoint NAKs: the host's transfer times out.
    const Result r = wait_for(lock, s, timeout_ms, [this] { return core_.running(); });
    if (r != Result::ok) return r;
    trace_.line(format("out %02x", endpoint), data, size_t(length));
    execute_command_locked(data, length);
    *moved = length;
    return Result::ok;
}

Result VirtualBoard::bulk_in(Session& s, uint8_t endpoint, uint8_t* data, int length,
                             unsigned timeout_ms, int* moved) {
    *moved = 0;
    if (length < 0 || (length > 0 && !data)) return Result::invalid_param;
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    if (endpoint == qv::kEpReplyIn) {
        const Result r = wait_for(lock, s, timeout_ms, [this] { return !replies_.empty(); });
        if (r != Result::ok) return r;
        std::vector<uint8_t> reply = std::move(replies_.front());
        replies_.pop_front();
        const size_t n = std::min(reply.size(), size_t(length));
        if (n) std::memcpy(data, reply.data(), n);
        *moved = int(n);
        trace_.line(format("in %02x", endpoint), data, n);
        return reply.size() > size_t(length) ? Result::overflow : Result::ok;
    }
    if (endpoint == qv::kEpStreamIn) {
        if (length == 0) return Result::ok;
        size_t cut_bytes = 0;
        if (faults_.take_stream_cut(&cut_bytes)) {
            // Scripted: part of the data, then the transfer times out.
            const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
            const size_t want = std::min(cut_bytes, size_t(length));
            Result r = wait_for_stream(lock, s, timeout_ms,
                                       [&] { return producer_.fifo_level() >= want; });
            if (r == Result::no_device) return r;
            *moved = int(producer_.take(data, want));
            if (timeout_ms) {
                cv_.wait_until(lock, deadline, [&] { return gone(s); });
            } else {
                cv_.wait(lock, [&] { return gone(s); });
            }
            return gone(s) ? refuse_locked() : Result::timeout;
        }
        const Result r =
            wait_for_stream(lock, s, timeout_ms, [this] { return producer_.fifo_level() > 0; });
        if (r != Result::ok) return r;
        *moved = int(producer_.take(data, size_t(length)));
        return Result::ok;
    }
    return Result::not_found;
}

// ---- Bridge firmware ------------------------------------------------------

void VirtualBoard::execute_command_locked(const uint8_t* msg, int length) {
    BridgeFirmware::Effects fx;
    firmware_.execute(msg, length, &fx);
    if (fx.chip_written) producer_.chip_written();
    if (fx.has_reply) queue_reply_locked(std::move(fx.reply));
    if (fx.stream_changed) {
        // A fresh start of the stream begins with an empty FIFO.
        if (fx.stream_restarted) producer_.clear_fifo();
        stream_changed_locked();
    }
}

void VirtualBoard::queue_reply_locked(std::vector<uint8_t> reply) {
    if (faults_.take_reply_stall()) return;
    size_t cut_bytes = 0;
    if (faults_.take_reply_cut(&cut_bytes) && cut_bytes < reply.size()) reply.resize(cut_bytes);
    unsigned delay_ms = 0;
    if (faults_.take_reply_delay(&delay_ms)) {
        // Scripted: the reply comes later, unless the board was replugged or
        // its firmware stopped meanwhile.
        const uint64_t generation = generation_;
        const auto due = Clock::now() + std::chrono::milliseconds(delay_ms);
        std::thread([this, reply = std::move(reply), generation, due]() mutable {
            std::this_thread::sleep_until(due);
            Lock lock(m_);
            if (generation != generation_ || !core_.running()) return;
            if (replies_.size() >= kMaxPendingReplies) return;
            replies_.push_back(std::move(reply));
            cv_.notify_all();
        }).detach();
        return;
    }
    if (replies_.size() >= kMaxPendingReplies) return;
    replies_.push_back(std::move(reply));
    cv_.notify_all();
}

// ---- Control --------------------------------------------------------------

void VirtualBoard::power_on_locked() {
    ++generation_;
    plugged_ = true;
    core_.power_on();
    stop_firmware_locked();
    faults_.clear();
    firmware_.power_on();
    producer_.clear_counters();
    replace_chip_locked();
    cv_.notify_all();
}

void VirtualBoard::replace_chip_locked() {
    bus_.set_chip(make_chip_or_exit(chip_setup_));
    producer_.chip_written();
    stream_changed_locked();
}

void VirtualBoard::reset() {
    Lock lock(m_);
    power_on_locked();
}

void VirtualBoard::unplug() {
    Lock lock(m_);
    plugged_ = false;
    stream_changed_locked();
    cv_.notify_all();
}

void VirtualBoard::set_pattern(Pattern pattern) {
    Lock lock(m_);
    chip_setup_.pattern = pattern;
    replace_chip_locked();
}

Pattern VirtualBoard::pattern() {
    Lock lock(m_);
    return chip_setup_.pattern;
}

void VirtualBoard::set_clock_hz(double clock_hz) {
    if (!(clock_hz > 0.0) || !std::isfinite(clock_hz)) return;
    Lock lock(m_);
    chip_setup_.clock_hz = clock_hz;
    replace_chip_locked();
}

int VirtualBoard::set_trace_file(const std::string& path) { return trace_.open(path); }

Stats VirtualBoard::stats() {
    Lock lock(m_);
    Stats st;
    st.plugged = plugged_;
    st.cpu_running = core_.running();
    firmware_.report(&st);
    producer_.report(&st);
    st.no_device_refusals = no_device_refusals_;
    return st;
}

uint16_t VirtualBoard::chip_register(int addr) {
    std::shared_ptr<VirtualChip> chip;
    {
        Lock lock(m_);
        chip = bus_.chip();
    }
    return chip->read_reg(addr);
}

void VirtualBoard::stall_next_command() {
    Lock lock(m_);
    faults_.stall_next_command();
}

void VirtualBoard::stall_next_reply() {
    Lock lock(m_);
    faults_.stall_next_reply();
}

void VirtualBoard::cut_next_stream_read(size_t bytes) {
    Lock lock(m_);
    faults_.cut_next_stream_read(bytes);
}

void VirtualBoard::delay_next_reply(unsigned ms) {
    Lock lock(m_);
    faults_.delay_next_reply(ms);
}

void VirtualBoard::deny_open(bool deny) {
    Lock lock(m_);
    open_denied_ = deny;
}

void VirtualBoard::short_next_reply(size_t bytes) {
    Lock lock(m_);
    faults_.short_next_reply(bytes);
}

}  // namespace vboard
