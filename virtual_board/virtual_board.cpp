#include "virtual_board.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vboard {

namespace {

// FX2 facts.
constexpr size_t kMemoryBytes = 0x10000;
constexpr uint16_t kCpucs = 0xE600;        // CPU control and status; bit 0 holds the 8051 in reset
constexpr size_t kCodeRamBytes = 0x4000;   // internal program/data RAM 0x0000..0x3FFF
constexpr uint8_t kVendorOut = 0x40;       // vendor, device, host-to-device
constexpr uint8_t kVendorIn = 0xC0;        // vendor, device, device-to-host
constexpr uint8_t kFirmwareLoad = 0xA0;    // memory access request handled by the FX2 core
constexpr int kAltSettings = 4;            // the FX2 default interface has alternate settings 0..3

// Endpoints of the bridge firmware.
constexpr uint8_t kCommandOut = 0x01;
constexpr uint8_t kReplyIn = 0x81;
constexpr uint8_t kStreamIn = 0x88;

// Command codes (first byte of a message on endpoint 0x01).
enum : uint8_t {
    kCmdLoadDone = 0,
    kCmdOne = 1,
    kCmdTwo = 2,
    kCmdSetLines = 3,
    kCmdBridgeWrite = 4,
    kCmdBridgeRead = 5,
    kCmdJtag = 7,
    kCmdDescriptor = 12,
    kCmdStream = 13,
    kCmdBusTiming = 14,
    kCmdFifteen = 15,
};
constexpr int kJtagMaxChunk = 62;
constexpr size_t kBridgeReplyBytes = 16;
constexpr size_t kDescriptorReplyBytes = 14;
constexpr size_t kMaxPendingReplies = 16;  // replies nobody fetched are dropped beyond this

// Bridge read status: bit 15 marks a request the bridge could not serve.
constexpr uint16_t kStatusOk = 0x0000;
constexpr uint16_t kStatusBadSpace = 0x8001;
constexpr uint16_t kStatusBadAddress = 0x8002;

// Board descriptor.
constexpr uint32_t kBoardClass = 1;
constexpr uint32_t kSerialNumber = 1;

// JTAG chain: two devices, nearest to TDO first; their 32-bit IDCODE registers
// are selected in Shift-DR, so the first 64 bits out of a scan are the IDCODEs
// and then the bits shifted in come back out 64 bits later.
constexpr uint32_t kJtagIdcodeNearTdo = 0x15A1C0FB;
constexpr uint32_t kJtagIdcodeNearTdi = 0x0BA0D0FB;

// Stream pacing.
constexpr auto kProducerTick = std::chrono::milliseconds(1);
constexpr size_t kChunkFrames = 4096;
constexpr size_t kFrameBytes = 4;
// The FX2 moves at most about 40 MB/s over high-speed bulk; a chip configured
// faster than that (e.g. no decimation at all) is paced at this ceiling.
constexpr double kMaxFrameRateHz = 10.0e6;

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_le32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = uint8_t(v >> (8 * k));
}

void put_le16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

}  // namespace

uint32_t firmware_id_of(const uint8_t* code_ram, size_t n, uint16_t* version) {
    uint16_t crc = 0xFFFF;
    for (size_t k = 0; k < n; ++k) {
        crc ^= uint16_t(code_ram[k]) << 8;
        for (int b = 0; b < 8; ++b) crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    uint16_t ver = 0;
    static const uint8_t kMagic[4] = {'Q', 'V', 'F', 'W'};
    for (size_t k = 0; k + 6 <= n; ++k) {
        if (std::memcmp(code_ram + k, kMagic, 4) == 0) {
            ver = uint16_t(code_ram[k + 4] | code_ram[k + 5] << 8);
            break;
        }
    }
    if (version) *version = ver;
    return uint32_t(ver) << 16 | crc;
}

namespace {

// A number of seconds from the environment: finite and >= 0, else `fallback`.
double seconds_or(const char* text, double fallback) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v) || v < 0.0) return fallback;
    return v;
}

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

VirtualBoard::VirtualBoard() : memory_(kMemoryBytes, 0) {
    if (const char* p = std::getenv("QV_VIRTUAL_PATTERN")) {
        if (std::strcmp(p, "counter") == 0) chip_setup_.pattern = Pattern::counter;
        if (std::strcmp(p, "tone") == 0) chip_setup_.pattern = Pattern::tone;
    }
    if (const char* p = std::getenv("QV_VIRTUAL_CLOCK_HZ")) {
        const double hz = std::strtod(p, nullptr);
        if (hz > 0.0 && std::isfinite(hz)) chip_setup_.clock_hz = hz;
    }
    if (const char* p = std::getenv("QV_VIRTUAL_PPM")) chip_setup_.ppm = std::strtod(p, nullptr);
    if (const char* p = std::getenv("QV_VIRTUAL_SCENE")) chip_setup_.scene_path = p;
    if (const char* p = std::getenv("QV_VIRTUAL_TRACE")) trace_.open(p);
    chip_ = make_chip_or_exit(chip_setup_);
    if (const char* p = std::getenv("QV_VIRTUAL_UNPLUG_AFTER")) {
        const double unplug_s = seconds_or(p, -1.0);
        const char* r = std::getenv("QV_VIRTUAL_REPLUG_AFTER");
        if (unplug_s >= 0.0) start_plug_script(unplug_s, r ? seconds_or(r, -1.0) : -1.0);
    }
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

// ---- Device level ---------------------------------------------------------

std::unique_ptr<Session> VirtualBoard::open(uint16_t vendor, uint16_t product) {
    Lock lock(m_);
    if (!plugged_ || vendor != kVendorId || product != kProductId) return nullptr;
    trace_.line(format("open %04x %04x", vendor, product));
    return std::unique_ptr<Session>(new Session(generation_));
}

void VirtualBoard::close(Session& s) {
    Lock lock(m_);
    s.claimed_ = false;
    trace_.line("close");
}

Result VirtualBoard::set_configuration(Session& s, int configuration) {
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    if (configuration != 1 && configuration != 0 && configuration != -1) return Result::not_found;
    trace_.line(format("config %d", configuration));
    return Result::ok;
}

Result VirtualBoard::claim_interface(Session& s, int interface_number) {
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    if (interface_number != 0) return Result::not_found;
    s.claimed_ = true;
    trace_.line(format("claim %d", interface_number));
    return Result::ok;
}

Result VirtualBoard::release_interface(Session& s, int interface_number) {
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    if (interface_number != 0 || !s.claimed_) return Result::not_found;
    s.claimed_ = false;
    trace_.line(format("release %d", interface_number));
    return Result::ok;
}

Result VirtualBoard::set_alt_setting(Session& s, int interface_number, int alt) {
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    if (interface_number != 0 || !s.claimed_ || alt < 0 || alt >= kAltSettings) return Result::not_found;
    trace_.line(format("altsetting %d %d", interface_number, alt));
    return Result::ok;
}

Result VirtualBoard::control(Session& s, uint8_t request_type, uint8_t request, uint16_t value,
                             uint16_t index, uint8_t* data, uint16_t length, unsigned /*timeout_ms*/,
                             int* moved) {
    *moved = 0;
    if (length > 0 && !data) return Result::invalid_param;
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    // The FX2 core serves 0xA0 itself, with or without firmware.
    if (request != kFirmwareLoad || (request_type != kVendorOut && request_type != kVendorIn) ||
        size_t(value) + length > kMemoryBytes) {
        return Result::pipe;
    }
    if (request_type == kVendorOut) {
        for (uint16_t k = 0; k < length; ++k) {
            const size_t addr = size_t(value) + k;
            if (addr == kCpucs) {
                write_cpucs_locked(data[k]);
            } else {
                memory_[addr] = data[k];
                if (addr < kCodeRamBytes) code_loaded_ = true;
            }
        }
    } else {
        std::memcpy(data, memory_.data() + value, length);
    }
    *moved = length;
    trace_.line(format("ctrl %02x %02x %04x %04x", request_type, request, value, index), data, length);
    return Result::ok;
}

void VirtualBoard::write_cpucs_locked(uint8_t value) {
    memory_[kCpucs] = value & 1;
    const bool hold = (value & 1) != 0;
    if (hold == cpu_held_) return;
    cpu_held_ = hold;
    if (hold) {
        stop_firmware_locked();
    } else if (code_loaded_) {
        start_firmware_locked();
    }
    // Released without code: the 8051 has nothing to run and the board stays mute.
}

void VirtualBoard::start_firmware_locked() {
    firmware_id_ = firmware_id_of(memory_.data(), kCodeRamBytes, &firmware_version_);
    replies_.clear();
    chip_address_.fill(0);
    bus_control_.fill(0);
    chip_select_ = 0;
    reg_2_1_ = 0;
    board_control_ = 0;
    lines_ = 0;
    bus_cycles_ = 0;
    jtag_chain_ = uint64_t(kJtagIdcodeNearTdi) << 32 | kJtagIdcodeNearTdo;
    stream_enabled_ = false;
    stream_channel_ = 0;
    fifo_.clear();
    cpu_running_ = true;
    if (!producer_.joinable()) producer_ = std::thread([this] { producer_loop(); });
    stream_changed_locked();
    cv_.notify_all();
}

void VirtualBoard::stop_firmware_locked() {
    cpu_running_ = false;
    firmware_id_ = 0;
    firmware_version_ = 0;
    stream_enabled_ = false;
    fifo_.clear();
    replies_.clear();
    stream_changed_locked();
}

void VirtualBoard::stream_changed_locked() {
    ++stream_epoch_;
    producer_cv_.notify_all();
}

// ---- Bulk endpoints -------------------------------------------------------

Result VirtualBoard::bulk_out(Session& s, uint8_t endpoint, const uint8_t* data, int length,
                              unsigned timeout_ms, int* moved) {
    *moved = 0;
    if (length < 0 || (length > 0 && !data)) return Result::invalid_param;
    Lock lock(m_);
    if (gone(s)) return refuse_locked();
    if (endpoint != kCommandOut) return Result::not_found;
    if (stall_command_) {
        stall_command_ = false;
        const Result r = wait_for(lock, s, timeout_ms, [] { return false; });
        return r == Result::ok ? Result::timeout : r;
    }
    // Without running firmware the endpoint NAKs: the host's transfer times out.
    const Result r = wait_for(lock, s, timeout_ms, [this] { return cpu_running_; });
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
    if (endpoint == kReplyIn) {
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
    if (endpoint == kStreamIn) {
        if (length == 0) return Result::ok;
        if (cut_stream_read_) {
            // Scripted: part of the data, then the transfer times out.
            cut_stream_read_ = false;
            const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
            const size_t want = std::min(cut_stream_bytes_, size_t(length));
            Result r = wait_for(lock, s, timeout_ms, [&] { return fifo_.size() >= want; });
            if (r == Result::no_device) return r;
            const size_t n = fifo_.pop(data, want);
            fifo_delivered_ += n;
            *moved = int(n);
            if (timeout_ms) {
                cv_.wait_until(lock, deadline, [&] { return gone(s); });
            } else {
                cv_.wait(lock, [&] { return gone(s); });
            }
            return gone(s) ? refuse_locked() : Result::timeout;
        }
        const Result r = wait_for(lock, s, timeout_ms, [this] { return fifo_.size() > 0; });
        if (r != Result::ok) return r;
        const size_t n = fifo_.pop(data, size_t(length));
        fifo_delivered_ += n;
        *moved = int(n);
        return Result::ok;
    }
    return Result::not_found;
}

// ---- Bridge firmware ------------------------------------------------------

void VirtualBoard::queue_reply_locked(std::vector<uint8_t> reply) {
    if (stall_reply_) {
        stall_reply_ = false;
        return;
    }
    if (short_reply_) {
        short_reply_ = false;
        if (short_reply_bytes_ < reply.size()) reply.resize(short_reply_bytes_);
    }
    if (delay_reply_) {
        // Scripted: the reply comes later, unless the board was replugged or
        // its firmware stopped meanwhile.
        delay_reply_ = false;
        const uint64_t generation = generation_;
        const auto due = Clock::now() + std::chrono::milliseconds(delay_reply_ms_);
        std::thread([this, reply = std::move(reply), generation, due]() mutable {
            std::this_thread::sleep_until(due);
            Lock lock(m_);
            if (generation != generation_ || !cpu_running_) return;
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

void VirtualBoard::execute_command_locked(const uint8_t* msg, int length) {
    if (length < 1) return;  // a zero-length packet carries no command
    // Shortest message that carries each command's arguments.
    int needed = 0;
    switch (msg[0]) {
    case kCmdLoadDone: needed = 1; break;
    case kCmdOne: needed = 6; break;
    case kCmdTwo: needed = 2; break;
    case kCmdSetLines: needed = 7; break;
    case kCmdBridgeWrite: needed = 7; break;
    case kCmdBridgeRead: needed = 3; break;
    case kCmdJtag: needed = length >= 2 ? 2 + msg[1] : 2; break;
    case kCmdDescriptor: needed = 1; break;
    case kCmdStream: needed = 3; break;
    case kCmdBusTiming: needed = 2; break;
    case kCmdFifteen: needed = 3; break;
    default: ++ignored_commands_; return;  // unknown code: ignored, no reply
    }
    if (length < needed || (msg[0] == kCmdJtag && msg[1] > kJtagMaxChunk) ||
        (msg[0] == kCmdStream && msg[1] > 3)) {
        ++ignored_commands_;
        return;
    }
    ++commands_;
    switch (msg[0]) {
    case kCmdSetLines: {
        const uint32_t mask = le32(msg + 3);
        lines_ = (lines_ & ~mask) | (msg[1] ? mask : 0);
        break;
    }
    case kCmdBridgeWrite:
        if (!bridge_write_locked(msg[1], msg[2], le32(msg + 3))) ++invalid_bridge_;
        break;
    case kCmdBridgeRead: {
        std::vector<uint8_t> reply(kBridgeReplyBytes, 0);
        uint32_t value = 0;
        const uint16_t status = bridge_read_locked(msg[1], msg[2], &value);
        if (status & 0x8000) ++invalid_bridge_;
        put_le32(reply.data(), value);
        put_le16(reply.data() + 10, status);
        queue_reply_locked(std::move(reply));
        break;
    }
    case kCmdJtag: {
        std::vector<uint8_t> reply(msg[1]);
        for (int k = 0; k < msg[1]; ++k) reply[k] = jtag_shift_locked(msg[2 + k]);
        queue_reply_locked(std::move(reply));
        break;
    }
    case kCmdDescriptor: {
        std::vector<uint8_t> reply(kDescriptorReplyBytes, 0);
        reply[0] = kCmdDescriptor;
        put_le32(reply.data() + 1, kBoardClass);
        put_le32(reply.data() + 5, kSerialNumber);
        put_le32(reply.data() + 9, firmware_version_);
        queue_reply_locked(std::move(reply));
        break;
    }
    case kCmdStream: {
        const bool enable = msg[2] != 0;
        // A fresh start of the stream begins with an empty FIFO.
        if (enable && !stream_enabled_) fifo_.clear();
        stream_enabled_ = enable;
        stream_channel_ = msg[1];
        stream_changed_locked();
        break;
    }
    case kCmdBusTiming:
        bus_cycles_ = msg[1];
        break;
    default:  // 0, 1, 2, 15: accepted; they configure nothing this board models
        break;
    }
}

bool VirtualBoard::bridge_write_locked(int space, int address, uint32_t value) {
    switch (space) {
    case 0: {
        const int cs = address / 4;
        if (cs >= 8) return false;
        switch (address % 4) {
        case 0: chip_address_[cs] = value; return true;
        case 1:
            // Only chip select 0 has a chip; the bus of the others is open.
            if (cs == 0) {
                chip_->write_reg(chip_address_[0] > 0xFFFF ? -1 : int(chip_address_[0]),
                                 uint16_t(value));
                ++chip_epoch_;
                producer_cv_.notify_all();
            }
            return true;
        case 2: bus_control_[cs] = value; return true;
        default: return false;
        }
    }
    case 1:
        if (address != 1) return false;
        chip_select_ = value;
        return true;
    case 2:
        switch (address) {
        case 0: return true;  // firmware identifier: read-only, write ignored
        case 1: reg_2_1_ = value; return true;
        case 10: board_control_ = value; return true;
        default: return false;
        }
    default:
        return false;
    }
}

uint16_t VirtualBoard::bridge_read_locked(int space, int address, uint32_t* value) {
    *value = 0;
    switch (space) {
    case 0: {
        const int cs = address / 4;
        if (cs >= 8) return kStatusBadAddress;
        switch (address % 4) {
        case 0: *value = chip_address_[cs]; return kStatusOk;
        case 1:
            if (cs == 0) *value = chip_->read_reg(chip_address_[0] > 0xFFFF ? -1 : int(chip_address_[0]));
            return kStatusOk;
        case 2: *value = bus_control_[cs]; return kStatusOk;
        default: return kStatusBadAddress;
        }
    }
    case 1:
        if (address != 1) return kStatusBadAddress;
        *value = chip_select_;
        return kStatusOk;
    case 2:
        switch (address) {
        case 0: *value = firmware_id_; return kStatusOk;
        case 1: *value = reg_2_1_; return kStatusOk;
        case 10: *value = board_control_; return kStatusOk;
        default: return kStatusBadAddress;
        }
    default:
        return kStatusBadSpace;
    }
}

uint8_t VirtualBoard::jtag_shift_locked(uint8_t tdi) {
    // Bits leave at TDO least significant first and enter at TDI.
    const uint8_t tdo = uint8_t(jtag_chain_);
    jtag_chain_ = jtag_chain_ >> 8 | uint64_t(tdi) << 56;
    return tdo;
}

// ---- Sample stream producer ----------------------------------------------

void VirtualBoard::producer_loop() {
    pthread_setname_np(pthread_self(), "qv-vboard");
    std::vector<int16_t> iq(2 * kChunkFrames);
    std::vector<uint8_t> bytes(kFrameBytes * kChunkFrames);
    bool anchored = false;
    Clock::time_point t0;
    uint64_t done = 0;  // frames produced since t0
    double anchored_rate = 0.0;
    uint64_t anchored_epoch = 0;

    Lock lock(m_);
    for (;;) {
        const uint64_t epoch = stream_epoch_;
        const uint64_t chip_epoch = chip_epoch_;
        if (!(plugged_ && cpu_running_ && stream_enabled_)) {
            anchored = false;
            producer_cv_.wait(lock, [&] { return stream_epoch_ != epoch; });
            continue;
        }
        std::shared_ptr<VirtualChip> chip = chip_;
        const int channel = stream_channel_;
        lock.unlock();

        const double rate = std::min(chip->output_rate_hz(channel), kMaxFrameRateHz);
        const Clock::time_point now = Clock::now();
        if (!(rate > 0.0)) {
            // Receiver stopped: nothing flows until a register write or a stream change.
            lock.lock();
            anchored = false;
            producer_cv_.wait(lock, [&] { return stream_epoch_ != epoch || chip_epoch_ != chip_epoch; });
            continue;
        }
        if (!anchored || rate != anchored_rate || epoch != anchored_epoch) {
            anchored = true;
            anchored_rate = rate;
            anchored_epoch = epoch;
            t0 = now;
            done = 0;
        }
        const double elapsed = std::chrono::duration<double>(now - t0).count();
        const uint64_t due = uint64_t(elapsed * rate);
        while (done < due) {
            const size_t n = size_t(std::min<uint64_t>(due - done, kChunkFrames));
            chip->generate(channel, iq.data(), n);
            for (size_t k = 0; k < 2 * n; ++k) {
                bytes[2 * k] = uint8_t(uint16_t(iq[k]));
                bytes[2 * k + 1] = uint8_t(uint16_t(iq[k]) >> 8);
            }
            done += n;
            lock.lock();
            if (stream_epoch_ != epoch) break;  // stream changed meanwhile: drop the chunk
            const size_t taken = fifo_.push_frames(bytes.data(), n, kFrameBytes);
            frames_produced_ += n;
            fifo_lost_ += (n - taken) * kFrameBytes;
            if (taken) cv_.notify_all();
            lock.unlock();
        }
        if (!lock.owns_lock()) lock.lock();
        producer_cv_.wait_until(lock, now + kProducerTick, [&] { return stream_epoch_ != epoch; });
    }
}

// ---- Control --------------------------------------------------------------

void VirtualBoard::power_on_locked() {
    ++generation_;
    plugged_ = true;
    std::fill(memory_.begin(), memory_.end(), 0);
    memory_[kCpucs] = 1;
    cpu_held_ = true;
    code_loaded_ = false;
    stop_firmware_locked();
    stall_command_ = stall_reply_ = short_reply_ = cut_stream_read_ = delay_reply_ = false;
    short_reply_bytes_ = cut_stream_bytes_ = 0;
    delay_reply_ms_ = 0;
    commands_ = ignored_commands_ = invalid_bridge_ = 0;
    frames_produced_ = fifo_delivered_ = fifo_lost_ = 0;
    lines_ = 0;
    board_control_ = 0;
    bus_cycles_ = 0;
    stream_channel_ = 0;
    replace_chip_locked();
    cv_.notify_all();
}

void VirtualBoard::replace_chip_locked() {
    chip_ = make_chip_or_exit(chip_setup_);
    ++chip_epoch_;
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
    st.cpu_running = cpu_running_;
    st.firmware_id = firmware_id_;
    st.firmware_version = firmware_version_;
    st.stream_enabled = stream_enabled_;
    st.stream_channel = stream_channel_;
    st.lines = lines_;
    st.bus_cycles = bus_cycles_;
    st.board_control = board_control_;
    st.commands = commands_;
    st.ignored_commands = ignored_commands_;
    st.invalid_bridge_requests = invalid_bridge_;
    st.frames_produced = frames_produced_;
    st.fifo_bytes_delivered = fifo_delivered_;
    st.fifo_bytes_lost = fifo_lost_;
    st.fifo_level = fifo_.size();
    st.no_device_refusals = no_device_refusals_;
    return st;
}

uint16_t VirtualBoard::chip_register(int addr) {
    std::shared_ptr<VirtualChip> chip;
    {
        Lock lock(m_);
        chip = chip_;
    }
    return chip->read_reg(addr);
}

void VirtualBoard::stall_next_command() {
    Lock lock(m_);
    stall_command_ = true;
}

void VirtualBoard::stall_next_reply() {
    Lock lock(m_);
    stall_reply_ = true;
}

void VirtualBoard::cut_next_stream_read(size_t bytes) {
    Lock lock(m_);
    cut_stream_read_ = true;
    cut_stream_bytes_ = bytes;
}

void VirtualBoard::delay_next_reply(unsigned ms) {
    Lock lock(m_);
    delay_reply_ = true;
    delay_reply_ms_ = ms;
}

void VirtualBoard::short_next_reply(size_t bytes) {
    Lock lock(m_);
    short_reply_ = true;
    short_reply_bytes_ = bytes;
}

}  // namespace vboard
