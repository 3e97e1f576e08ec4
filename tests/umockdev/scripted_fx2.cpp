#include "scripted_fx2.h"

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "protocol.h"

namespace fx2test {

using namespace qv;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPacketBytes = 512;  // high-speed bulk packet
constexpr size_t kMaxReplies = 16;
constexpr int kRegisters = 959;
constexpr auto kTick = std::chrono::milliseconds(1);
// A REAPURBNDELAY that finds nothing answers EAGAIN only after this long:
// the library polls the node, and an emulated node is always ready, so each
// waiting thread would otherwise spin on the testbed.
constexpr auto kReapPause = std::chrono::milliseconds(1);
// A blocking REAPURB with nothing to reap: the kernel waits for the next
// completion; here the wait is bounded and then interrupted (EINTR), as a
// signal would.
constexpr auto kReapWaitLimit = std::chrono::seconds(1);

// Device descriptor, configuration 1 with interface 0: alternate setting 0
// without endpoints, 1 with the bulk endpoints of the bridge firmware.
const uint8_t kDescriptors[] = {
    0x12, 0x01, 0x00,          0x02, 0xFF, 0x00, 0x00, 0x40, 0xB4,
    0x04, 0x13, 0x86,          0x01, 0xA0, 0x00, 0x00, 0x00, 0x01,  // device
    0x09, 0x02, 0x30,          0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  // configuration
    0x09, 0x04, 0x00,          0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,  // interface 0, alt 0
    0x09, 0x04, 0x00,          0x01, 0x03, 0xFF, 0x00, 0x00, 0x00,  // interface 0, alt 1
    0x07, 0x05, kEpCommandOut, 0x02, 0x00, 0x02, 0x00,              // bulk OUT 0x01
    0x07, 0x05, kEpReplyIn,    0x02, 0x00, 0x02, 0x00,              // bulk IN 0x81
    0x07, 0x05, kEpStreamIn,   0x02, 0x00, 0x02, 0x00};             // bulk IN 0x88
constexpr size_t kDeviceDescriptorBytes = 18;

uint32_t get32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string hex_bytes(const uint8_t* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

// One URB the host submitted, held until it completes and is reaped.
struct Urb {
    UMockdevIoctlData* data = nullptr;    // the usbdevfs_urb in the client, resolved
    UMockdevIoctlData* buffer = nullptr;  // its buffer, resolved
    std::string node;
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int length = 0;
    int moved = 0;
    bool cut = false;  // a stream URB that gets at most `limit` bytes
    size_t limit = 0;

    usbdevfs_urb* urb() { return reinterpret_cast<usbdevfs_urb*>(data->data); }
};

// A reap that waits for a completion.
struct ParkedReap {
    UMockdevIoctlClient* client;
    std::string node;
    bool blocking;
    Clock::time_point until;
};

struct DelayedReply {
    Bytes bytes;
    Clock::time_point due;
};

}  // namespace

struct ScriptedFx2::Impl {
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;

    std::mutex mutex;
    std::condition_variable wake;
    bool quit = false;
    std::thread clock_thread;

    // Device, guarded by mutex.
    bool plugged = false;
    int devnum = 1;
    std::string syspath;
    std::string node;
    bool deny = false;
    State st;
    std::vector<std::string> log;
    uint8_t memory[kFirmwareBytes] = {};
    bool code_loaded = false;
    int configuration = 0;
    bool claimed = false;
    int alt_setting = 0;
    bool halted[256] = {};

    // Bridge firmware.
    uint32_t address_reg[kChipSelects] = {};
    uint32_t bus_control[kChipSelects] = {};
    uint32_t chip_select = 0;
    uint32_t general = 0;
    uint16_t chip[kRegisters] = {};
    std::deque<uint8_t> jtag;
    std::deque<Bytes> replies;
    std::vector<DelayedReply> delayed;

    // Stream.
    double frame_rate = kDefaultFrameRate;
    Clock::time_point stream_start;
    std::deque<uint8_t> fifo;

    // Faults.
    size_t short_reply = 0;
    bool short_reply_armed = false;
    bool withhold_command = false;
    bool withhold_reply = false;
    unsigned delay_reply_ms = 0;
    bool delay_reply_armed = false;
    size_t cut_stream = 0;
    bool cut_stream_armed = false;

    std::vector<UMockdevIoctlClient*> read_only;  // opened while access was denied

    std::deque<Urb> pending;
    std::deque<Urb> completed;
    std::vector<ParkedReap> parked;

    // ---- set-up ------------------------------------------------------------

    void power_on() {
        std::memset(memory, 0, sizeof memory);
        code_loaded = false;
        st = State{};
        log.clear();
        configuration = 0;
        claimed = false;
        alt_setting = 0;
        std::fill(std::begin(halted), std::end(halted), false);
        std::fill(std::begin(chip), std::end(chip), 0);
        frame_rate = kDefaultFrameRate;
        short_reply_armed = withhold_command = withhold_reply = false;
        delay_reply_armed = cut_stream_armed = false;
        firmware_start();
        st.cpu_running = false;
    }

    // Fresh bridge state each time the CPU starts.
    void firmware_start() {
        std::fill(std::begin(address_reg), std::end(address_reg), 0);
        std::fill(std::begin(bus_control), std::end(bus_control), 0);
        chip_select = 0;
        general = 0;
        st.lines = 0;
        st.board_control = 0;
        st.bus_cycles = 0;
        st.stream_enabled = false;
        replies.clear();
        delayed.clear();
        fifo.clear();
        jtag.clear();
        const uint8_t idcodes[8] = {0xFB, 0xC0, 0xA1, 0x15, 0xFB, 0xD0, 0xA0, 0x0B};
        jtag.assign(idcodes, idcodes + 8);
    }

    // ---- completion --------------------------------------------------------

    void complete_urb(Urb u, int status) {
        usbdevfs_urb* urb = u.urb();
        urb->status = status;
        urb->actual_length = u.moved;
        if (status == -EPIPE) ++st.halted_urbs;
        completed.push_back(u);
    }

    // Hands the oldest completed URB of `node` to a reap, 0; or -1.
    static bool reap_into(UMockdevIoctlClient* client, Urb& u) {
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client),
                                                              0, sizeof(void*), nullptr);
        if (!slot) return false;
        umockdev_ioctl_data_set_ptr(slot, 0, u.data);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(u.data);
        return true;
    }

    bool take_completed(const std::string& from, Urb* out) {
        for (auto it = completed.begin(); it != completed.end(); ++it) {
            if (it->node != from) continue;
            *out = *it;
            completed.erase(it);
            return true;
        }
        return false;
    }

    // Completes waiting reaps: with a URB when one is there, else EAGAIN
    // (ENODEV once the device is gone) when their time is up.
    void serve_parked(Clock::time_point now) {
        for (auto it = parked.begin(); it != parked.end();) {
            Urb u;
            if (take_completed(it->node, &u)) {
                reap_into(it->client, u);
            } else if (!live(it->node)) {
                umockdev_ioctl_client_complete(it->client, -1, ENODEV);
            } else if (now >= it->until) {
                umockdev_ioctl_client_complete(it->client, -1, it->blocking ? EINTR : EAGAIN);
            } else {
                ++it;
                continue;
            }
            g_object_unref(it->client);
            it = parked.erase(it);
        }
    }

    bool live(const std::string& from) const { return plugged && from == node; }

    // ---- stream and replies ------------------------------------------------

    void produce(Clock::time_point now) {
        if (!st.cpu_running || !st.stream_enabled) return;
        const double seconds = std::chrono::duration<double>(now - stream_start).count();
        const uint64_t due = static_cast<uint64_t>(seconds * frame_rate);
        while (st.frames_produced < due) {
            const uint64_t n = st.frames_produced++;
            if (fifo.size() + 4 > kFifoBytes) {
                st.fifo_bytes_lost += 4;
                continue;
            }
            const uint8_t f[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                  static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
            fifo.insert(fifo.end(), f, f + 4);
        }
    }

    void serve_urbs(Clock::time_point now) {
        for (auto it = delayed.begin(); it != delayed.end();) {
            if (now < it->due) {
                ++it;
                continue;
            }
            queue_reply(std::move(it->bytes));
            it = delayed.erase(it);
        }
        for (auto it = pending.begin(); it != pending.end();) {
            Urb& u = *it;
            bool done = false;
            int status = 0;
            if (halted[u.endpoint] && u.type == USBDEVFS_URB_TYPE_BULK) {
                done = true;
                status = -EPIPE;
            } else if (u.endpoint == kEpReplyIn && st.cpu_running && !replies.empty()) {
                Bytes r = std::move(replies.front());
                replies.pop_front();
                const int n = std::min<int>(u.length, static_cast<int>(r.size()));
                std::memcpy(u.buffer->data, r.data(), n);
                u.moved = n;
                status = static_cast<int>(r.size()) > u.length ? -EOVERFLOW : 0;
                log.push_back("in 81 : " + hex_bytes(r.data(), n));
                done = true;
            } else if (u.endpoint == kEpStreamIn && st.cpu_running) {
                const size_t cap = u.cut ? std::min<size_t>(u.limit, u.length) : u.length;
                while (fifo.size() >= kPacketBytes &&
                       u.moved + kPacketBytes <= static_cast<int>(cap)) {
                    std::copy_n(fifo.begin(), kPacketBytes, u.buffer->data + u.moved);
                    fifo.erase(fifo.begin(), fifo.begin() + kPacketBytes);
                    u.moved += kPacketBytes;
                    st.stream_bytes_delivered += kPacketBytes;
                }
                done = u.moved == u.length;
            }
            if (!done) {
                ++it;
                continue;
            }
            complete_urb(u, status);
            it = pending.erase(it);
        }
    }

    void queue_reply(Bytes r) {
        if (replies.size() < kMaxReplies) replies.push_back(std::move(r));
    }

    void reply(Bytes r) {
        if (short_reply_armed) {
            short_reply_armed = false;
            if (short_reply < r.size()) r.resize(short_reply);
        }
        if (withhold_reply) {
            withhold_reply = false;
            return;
        }
        if (delay_reply_armed) {
            delay_reply_armed = false;
            delayed.push_back(
                {std::move(r), Clock::now() + std::chrono::milliseconds(delay_reply_ms)});
            return;
        }
        queue_reply(std::move(r));
    }

    // ---- the bridge firmware ----------------------------------------------

    void bridge_write(uint8_t space, uint8_t address, uint32_t value) {
        if (space == kSpaceChipBus && address < 4 * kChipSelects) {
            const int cs = address / 4;
            switch (address % 4) {
                case 0:
                    address_reg[cs] = value;
                    return;
                case 1:
                    if (cs == 0 && address_reg[0] < kRegisters && address_reg[0] != 1 &&
                        address_reg[0] != 32)
                        chip[address_reg[0]] = static_cast<uint16_t>(value);
                    return;
                case 2:
                    bus_control[cs] = value;
                    return;
            }
        }
        if (space == kSpaceChipSelect && address == kAddrChipSelect) chip_select = value;
        if (space == kSpaceBoard && address == kAddrBoardSetup) general = value;
        if (space == kSpaceBoard && address == kAddrBoardControl) st.board_control = value;
    }

    uint32_t bridge_read(uint8_t space, uint8_t address, uint16_t* status) {
        *status = 0;
        if (space == kSpaceChipBus && address < 4 * kChipSelects && address % 4 != 3) {
            const int cs = address / 4;
            if (address % 4 == 0) return address_reg[cs];
            if (address % 4 == 2) return bus_control[cs];
            if (cs != 0) return 0;
            const uint32_t a = address_reg[0];
            if (a == 1) return kChipDeviceId;
            return a < kRegisters && a != 32 ? chip[a] : 0;
        }
        if (space == kSpaceChipSelect && address == kAddrChipSelect) return chip_select;
        if (space == kSpaceBoard && address == kAddrFirmwareId) return kFirmwareId;
        if (space == kSpaceBoard && address == kAddrBoardSetup) return general;
        if (space == kSpaceBoard && address == kAddrBoardControl) return st.board_control;
        *status = space <= kSpaceBoard ? 0x8002 : 0x8001;
        return 0;
    }

    void command(const uint8_t* m, int n) {
        if (n < 1) return;
        switch (m[0]) {
            case kCmdFirmwareDone:
            case kCmd1:
            case kCmd2:
            case kCmd15:
                break;
            case kCmdSetLines:
                if (n < kLenSetLines) return;
                st.lines = m[1] ? (st.lines | get32(m + 3)) : (st.lines & ~get32(m + 3));
                break;
            case kCmdBridgeWrite:
                if (n < kLenBridgeWrite) return;
                bridge_write(m[1], m[2], get32(m + 3));
                break;
            case kCmdBridgeRead: {
                if (n < 3) return;
                Bytes r(kLenBridgeReadReply, 0);
                uint16_t status = 0;
                put32(r.data(), bridge_read(m[1], m[2], &status));
                r[10] = static_cast<uint8_t>(status);
                r[11] = static_cast<uint8_t>(status >> 8);
                reply(std::move(r));
                break;
            }
            case kCmdJtagScan: {
                const int count = n >= 2 ? m[1] : 0;
                if (n < 2 || count > kJtagChunkMax || n < 2 + count) return;
                Bytes r(count);
                for (int i = 0; i < count; ++i) {
                    r[i] = jtag.front();
                    jtag.pop_front();
                    jtag.push_back(m[2 + i]);
                }
                reply(std::move(r));
                break;
            }
            case kCmdBoardDescriptor: {
                Bytes r(kLenBoardDescriptorReply, 0);
                r[0] = kCmdBoardDescriptor;
                put32(&r[1], 1);
                put32(&r[5], 1);
                put32(&r[9], kFirmwareVersion);
                reply(std::move(r));
                break;
            }
            case kCmdStreamControl:
                if (n < kLenStreamControl || m[1] > 3) return;
                if (m[2] && !st.stream_enabled) {
                    fifo.clear();
                    st.frames_produced = 0;
                    stream_start = Clock::now();
                }
                st.stream_enabled = m[2] != 0;
                break;
            case kCmdBusTiming:
                if (n < kLenBusTiming) return;
                st.bus_cycles = m[1];
                break;
            default:
                return;
        }
        ++st.commands;
    }

    // ---- requests on endpoint 0 -------------------------------------------

    // A control request with its data stage at `data` (wLength bytes).
    // Returns the bytes moved, or a negative errno (a stall is -EPIPE).
    int control(const uint8_t* setup, uint8_t* data) {
        const uint8_t type = setup[0], request = setup[1];
        const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
        const uint16_t index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
        const uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
        if (request == kFx2RequestFirmwareLoad && (type == 0x40 || type == 0xC0)) {
            if (value + length > kFirmwareBytes) return -EPIPE;
            if (type == 0xC0) {
                std::memcpy(data, memory + value, length);
                return length;
            }
            log.push_back("ctrl 40 a0 " + hex4(value) + " " + hex4(index) + " : " +
                          hex_bytes(data, length));
            std::memcpy(memory + value, data, length);
            if (value < 0x4000 && value != kFx2Cpucs) code_loaded = true;
            if (value <= kFx2Cpucs && kFx2Cpucs < value + length) {
                const bool run = (memory[kFx2Cpucs] & kCpucsReset) == 0;
                if (run && !st.cpu_running && code_loaded) {
                    firmware_start();
                    st.cpu_running = true;
                } else if (!run) {
                    st.cpu_running = false;
                }
            }
            return length;
        }
        if (type == 0x80 && request == USB_REQ_GET_DESCRIPTOR) {
            const bool device = value >> 8 == USB_DT_DEVICE;
            if (!device && value >> 8 != USB_DT_CONFIG) return -EPIPE;
            const uint8_t* d = kDescriptors + (device ? 0 : kDeviceDescriptorBytes);
            const size_t size =
                device ? kDeviceDescriptorBytes : sizeof kDescriptors - kDeviceDescriptorBytes;
            const size_t n = std::min<size_t>(length, size);
            std::memcpy(data, d, n);
            return static_cast<int>(n);
        }
        if (type == 0x82 && request == USB_REQ_GET_STATUS && length >= 2) {
            data[0] = halted[index & 0xFF] ? 1 : 0;
            data[1] = 0;
            return 2;
        }
        if (type == 0x02 && request == USB_REQ_CLEAR_FEATURE && value == USB_ENDPOINT_HALT) {
            clear_halt(index & 0xFF);
            return 0;
        }
        return -EPIPE;
    }

    void clear_halt(uint8_t ep) {
        if (!halted[ep]) return;
        halted[ep] = false;
        log.push_back("clear_halt " + hex2(ep));
    }

    static std::string hex4(unsigned v) {
        char b[8];
        std::snprintf(b, sizeof b, "%04x", v & 0xFFFF);
        return b;
    }
    static std::string hex2(unsigned v) {
        char b[4];
        std::snprintf(b, sizeof b, "%02x", v & 0xFF);
        return b;
    }

    // ---- ioctls ----------------------------------------------------------

    // Resolves `len` bytes at the ioctl's argument pointer.
    static UMockdevIoctlData* arg_block(UMockdevIoctlClient* client, size_t len) {
        return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, len, nullptr);
    }
    static uint32_t arg_u32(UMockdevIoctlClient* client) {
        UMockdevIoctlData* d = arg_block(client, sizeof(uint32_t));
        return d ? get32(d->data) : 0xFFFFFFFF;
    }

    // Returns the ioctl's result; *err its errno. false: left parked.
    bool ioctl(UMockdevIoctlClient* client, long* result, int* err) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        const std::string from = umockdev_ioctl_client_get_devnode(client);
        *result = 0;
        *err = 0;
        auto fail = [&](int e) {
            *result = -1;
            *err = e;
            return true;
        };
        if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
            Urb u;
            if (take_completed(from, &u)) {
                if (!reap_into(client, u)) return fail(EFAULT);
                return false;  // completed by reap_into
            }
            if (!live(from)) return fail(ENODEV);
            const bool blocking = request == USBDEVFS_REAPURB;
            g_object_ref(client);
            parked.push_back({client, from, blocking,
                              Clock::now() + (blocking ? Clock::duration(kReapWaitLimit)
                                                       : Clock::duration(kReapPause))});
            wake.notify_all();
            return false;
        }
        if (!live(from)) {
            if (from == node) ++st.no_device_refusals;
            return fail(ENODEV);
        }
        // usbdevfs refuses every request on a node opened without write access.
        if (std::find(read_only.begin(), read_only.end(), client) != read_only.end())
            return fail(EPERM);
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                UMockdevIoctlData* d = arg_block(client, sizeof(uint32_t));
                if (!d) return fail(EFAULT);
                put32(d->data, USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT);
                return true;
            }
            case USBDEVFS_CONNECTINFO: {
                UMockdevIoctlData* d = arg_block(client, sizeof(usbdevfs_connectinfo));
                if (!d) return fail(EFAULT);
                auto* ci = reinterpret_cast<usbdevfs_connectinfo*>(d->data);
                ci->devnum = static_cast<unsigned>(devnum);
                ci->slow = 0;
                return true;
            }
            case USBDEVFS_SETCONFIGURATION: {
                const int c = static_cast<int>(arg_u32(client));
                if (c != kUsbConfiguration && c != 0 && c != -1) return fail(EINVAL);
                configuration = c;
                log.push_back("config " + std::to_string(c));
                return true;
            }
            case USBDEVFS_CLAIMINTERFACE: {
                const uint32_t i = arg_u32(client);
                if (i != kUsbInterface) return fail(ENOENT);
                claimed = true;
                log.push_back("claim 0");
                return true;
            }
            case USBDEVFS_RELEASEINTERFACE: {
                if (arg_u32(client) != kUsbInterface || !claimed) return fail(EINVAL);
                claimed = false;
                log.push_back("release 0");
                return true;
            }
            case USBDEVFS_SETINTERFACE: {
                UMockdevIoctlData* d = arg_block(client, sizeof(usbdevfs_setinterface));
                if (!d) return fail(EFAULT);
                const auto* si = reinterpret_cast<const usbdevfs_setinterface*>(d->data);
                if (si->interface != kUsbInterface || si->altsetting > 3) return fail(EINVAL);
                if (!claimed) return fail(EINVAL);
                alt_setting = static_cast<int>(si->altsetting);
                log.push_back("altsetting 0 " + std::to_string(alt_setting));
                return true;
            }
            case USBDEVFS_CLEAR_HALT: {
                clear_halt(static_cast<uint8_t>(arg_u32(client)));
                return true;
            }
            case USBDEVFS_RESET:
                return true;
            case USBDEVFS_CONTROL: {
                UMockdevIoctlData* d = arg_block(client, sizeof(usbdevfs_ctrltransfer));
                if (!d) return fail(EFAULT);
                const auto* ct = reinterpret_cast<const usbdevfs_ctrltransfer*>(d->data);
                const uint8_t setup[8] = {ct->bRequestType,
                                          ct->bRequest,
                                          static_cast<uint8_t>(ct->wValue),
                                          static_cast<uint8_t>(ct->wValue >> 8),
                                          static_cast<uint8_t>(ct->wIndex),
                                          static_cast<uint8_t>(ct->wIndex >> 8),
                                          static_cast<uint8_t>(ct->wLength),
                                          static_cast<uint8_t>(ct->wLength >> 8)};
                uint8_t empty = 0;
                uint8_t* data = &empty;
                if (ct->wLength) {
                    UMockdevIoctlData* buf = umockdev_ioctl_data_resolve(
                        d, offsetof(usbdevfs_ctrltransfer, data), ct->wLength, nullptr);
                    if (!buf) return fail(EFAULT);
                    data = buf->data;
                }
                const int rc = control(setup, data);
                if (rc < 0) return fail(-rc);
                *result = rc;
                return true;
            }
            case USBDEVFS_SUBMITURB:
                return submit(client, from, result, err);
            case USBDEVFS_DISCARDURB: {
                UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
                uint64_t address = 0;
                std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, arg->data_len));
                for (auto it = pending.begin(); it != pending.end(); ++it) {
                    if (it->data->client_addr != address) continue;
                    ++st.discarded_urbs;
                    complete_urb(*it, -ENOENT);
                    pending.erase(it);
                    wake.notify_all();
                    return true;
                }
                return fail(EINVAL);
            }
            default:
                return fail(ENOTTY);
        }
    }

    bool submit(UMockdevIoctlClient* client, const std::string& from, long* result, int* err) {
        auto fail = [&](int e) {
            *result = -1;
            *err = e;
            return true;
        };
        UMockdevIoctlData* d = arg_block(client, sizeof(usbdevfs_urb));
        if (!d) return fail(EFAULT);
        usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(d->data);
        const int length = urb->buffer_length;
        if (length < 0) return fail(EINVAL);
        UMockdevIoctlData* buffer =
            length ? umockdev_ioctl_data_resolve(d, offsetof(usbdevfs_urb, buffer), length, nullptr)
                   : nullptr;
        if (length && !buffer) return fail(EFAULT);
        urb = reinterpret_cast<usbdevfs_urb*>(d->data);
        Urb u;
        u.data = d;
        u.buffer = buffer;
        u.node = from;
        u.type = urb->type;
        u.endpoint = urb->endpoint;
        u.length = length;
        ++st.submitted_urbs;

        if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
            if (length < 8) return fail(EINVAL);
            g_object_ref(d);
            const int rc = control(buffer->data, buffer->data + 8);
            u.moved = rc > 0 ? rc : 0;
            complete_urb(u, rc < 0 ? rc : 0);
            wake.notify_all();
            return true;
        }
        if (u.type != USBDEVFS_URB_TYPE_BULK) return fail(EINVAL);
        const bool out = (u.endpoint & 0x80) == 0;
        if (u.endpoint != kEpCommandOut && u.endpoint != kEpReplyIn && u.endpoint != kEpStreamIn)
            return fail(ENOENT);
        g_object_ref(d);
        if (halted[u.endpoint]) {
            complete_urb(u, -EPIPE);
        } else if (out && st.cpu_running && !withhold_command) {
            log.push_back("out 01 : " + hex_bytes(buffer->data, length));
            command(buffer->data, length);
            u.moved = length;
            complete_urb(u, 0);
        } else {
            if (out && st.cpu_running) withhold_command = false;  // NAKed until discarded
            if (!out && u.endpoint == kEpStreamIn && cut_stream_armed) {
                cut_stream_armed = false;
                u.cut = true;
                u.limit = cut_stream;
            }
            pending.push_back(u);
            serve_urbs(Clock::now());
        }
        wake.notify_all();
        return true;
    }

    void clock_loop() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!quit) {
            const Clock::time_point now = Clock::now();
            produce(now);
            serve_urbs(now);
            serve_parked(now);
            const bool busy = !parked.empty() || !delayed.empty() ||
                              (st.cpu_running && st.stream_enabled) || !pending.empty();
            if (busy)
                wake.wait_for(lock, kTick);
            else
                wake.wait(lock);
        }
    }
};

namespace {

bool preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload.so");
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* impl = static_cast<ScriptedFx2::Impl*>(self);
    std::lock_guard<std::mutex> lock(impl->mutex);
    long result = 0;
    int err = 0;
    if (impl->ioctl(client, &result, &err)) umockdev_ioctl_client_complete(client, result, err);
    return TRUE;
}

// A node opened while access is denied could only have been opened for reading.
void on_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* impl = static_cast<ScriptedFx2::Impl*>(self);
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (impl->deny) impl->read_only.push_back(client);
}

void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* impl = static_cast<ScriptedFx2::Impl*>(self);
    std::lock_guard<std::mutex> lock(impl->mutex);
    auto& v = impl->read_only;
    v.erase(std::remove(v.begin(), v.end(), client), v.end());
}

// read() of the node: the descriptors, as usbdevfs gives them.
gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* impl = static_cast<ScriptedFx2::Impl*>(self);
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (!impl->live(umockdev_ioctl_client_get_devnode(client))) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    UMockdevIoctlData* buf = umockdev_ioctl_client_get_arg(client);
    const size_t n = std::min<size_t>(buf->data_len, sizeof kDescriptors);
    std::memcpy(buf->data, kDescriptors, n);
    umockdev_ioctl_client_complete(client, static_cast<long>(n), 0);
    return TRUE;
}

}  // namespace

ScriptedFx2::ScriptedFx2() : impl_(std::make_unique<Impl>()) {
    if (!preloaded()) {
        std::fprintf(stderr, "scripted FX2: not running under the umockdev preload\n");
        std::abort();
    }
    impl_->testbed = umockdev_testbed_new();
    impl_->handler = umockdev_ioctl_base_new();
    g_signal_connect(impl_->handler, "handle-ioctl", G_CALLBACK(on_ioctl), impl_.get());
    g_signal_connect(impl_->handler, "handle-read", G_CALLBACK(on_read), impl_.get());
    g_signal_connect(impl_->handler, "client-connected", G_CALLBACK(on_connected), impl_.get());
    g_signal_connect(impl_->handler, "client-vanished", G_CALLBACK(on_vanished), impl_.get());
    impl_->clock_thread = std::thread([this] { impl_->clock_loop(); });
    plug();
}

ScriptedFx2::~ScriptedFx2() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->quit = true;
    }
    impl_->wake.notify_all();
    impl_->clock_thread.join();
}

ScriptedFx2& ScriptedFx2::instance() {
    // Never destroyed: the program's handles may outlive any test. Its
    // testbed's folder goes at exit.
    static ScriptedFx2* fx2 = [] {
        auto* f = new ScriptedFx2();
        static std::string root;
        gchar* dir = umockdev_testbed_get_root_dir(f->impl_->testbed);
        root = dir;
        g_free(dir);
        std::atexit([] {
            if (root.rfind("/tmp/umockdev.", 0) == 0)
                (void)!std::system(("rm -rf '" + root + "'").c_str());
        });
        return f;
    }();
    return *fx2;
}

void ScriptedFx2::plug() {
    unplug();
    // The node of the device before goes (its handles are closed by now).
    std::string stale;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        stale = impl_->node;
    }
    if (!stale.empty()) {
        umockdev_testbed_detach_ioctl(impl_->testbed, stale.c_str(), nullptr);
        gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
        unlink((std::string(root) + stale).c_str());
        g_free(root);
    }
    std::string description;
    std::string node;
    std::string syspath;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        const int devnum = ++impl_->devnum;
        char n[32];
        std::snprintf(n, sizeof n, "bus/usb/%03d/%03d", kBus, devnum);
        node = std::string("/dev/") + n;
        syspath = "/sys/devices/pci0000:00/usb1/1-1";
        description = "P: /devices/pci0000:00/usb1/1-1\nN: " + std::string(n) + "\n";
        description += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + node + "\n";
        description += "E: BUSNUM=001\nE: DEVNUM=" + std::string(n).substr(12) + "\n";
        description += "E: ID_VENDOR_ID=04b4\nE: ID_MODEL_ID=8613\n";
        description += "A: busnum=" + std::to_string(kBus) +
                       "\\n\nA: devnum=" + std::to_string(devnum) + "\\n\n";
        description += "A: idVendor=04b4\\n\nA: idProduct=8613\\n\nA: speed=480\\n\n";
        description += "A: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n";
        description += "H: descriptors=";
        for (uint8_t b : kDescriptors) {
            char h[3];
            std::snprintf(h, sizeof h, "%02X", b);
            description += h;
        }
        description += "\n";
        impl_->power_on();
        impl_->node = node;
        impl_->syspath = syspath;
        impl_->st.devnum = devnum;
    }
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(impl_->testbed, description.c_str(), &error) ||
        !umockdev_testbed_attach_ioctl(impl_->testbed, node.c_str(), impl_->handler, &error)) {
        std::fprintf(stderr, "scripted FX2: %s\n", error ? error->message : "testbed failed");
        std::abort();
    }
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->plugged = true;
    impl_->st.plugged = true;
}

void ScriptedFx2::unplug() {
    std::string syspath;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (!impl_->plugged) return;
        impl_->plugged = false;
        impl_->st.plugged = false;
        impl_->st.cpu_running = false;
        // What was in flight completes with -ESHUTDOWN, as the host
        // controller gives it back when the device goes.
        while (!impl_->pending.empty()) {
            impl_->complete_urb(impl_->pending.front(), -ESHUTDOWN);
            impl_->pending.pop_front();
        }
        syspath = impl_->syspath;
        impl_->wake.notify_all();
    }
    umockdev_testbed_uevent(impl_->testbed, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(impl_->testbed, syspath.c_str());
}

void ScriptedFx2::deny_access(bool deny) {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->deny = deny;
        gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
        // An unprivileged user must reach the node to be refused by it.
        chmod(root, 0755);
        path = std::string(root) + impl_->node;
        // The socket behind the node, which an open must connect to.
        chmod((std::string(root) + "/ioctl" + impl_->node).c_str(), 0777);
        g_free(root);
    }
    chmod(path.c_str(), deny ? 0444 : 0666);
}

State ScriptedFx2::state() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->st;
}

Bytes ScriptedFx2::memory(uint16_t address, size_t length) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    length = std::min<size_t>(length, kFirmwareBytes - address);
    return Bytes(impl_->memory + address, impl_->memory + address + length);
}

uint16_t ScriptedFx2::chip_register(int address) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return address >= 0 && address < kRegisters ? impl_->chip[address] : 0;
}

std::vector<std::string> ScriptedFx2::log() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->log;
}

std::string ScriptedFx2::node_path() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->node;
}

void ScriptedFx2::set_frame_rate(double frames_per_second) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (frames_per_second > 0) impl_->frame_rate = frames_per_second;
}

void ScriptedFx2::halt(uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->halted[endpoint] = true;
    impl_->wake.notify_all();
}

void ScriptedFx2::short_next_reply(size_t bytes) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->short_reply_armed = true;
    impl_->short_reply = bytes;
}

void ScriptedFx2::withhold_next_command() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->withhold_command = true;
}

void ScriptedFx2::withhold_next_reply() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->withhold_reply = true;
}

void ScriptedFx2::delay_next_reply(unsigned ms) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->delay_reply_armed = true;
    impl_->delay_reply_ms = ms;
}

void ScriptedFx2::cut_next_stream_read(size_t bytes) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->cut_stream_armed = true;
    impl_->cut_stream = bytes;
}

void run_under_umockdev(int argc, char** argv) {
    (void)argc;
    if (preloaded()) return;
    const char* preload = std::getenv("LD_PRELOAD");
    std::string list = "libumockdev-preload.so.0";
    if (preload && *preload) list += std::string(":") + preload;
    setenv("LD_PRELOAD", list.c_str(), 1);
    // AddressSanitizer wants its runtime first in the library list; the
    // preload comes before it here, which is harmless for these tests.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string options = asan && *asan ? std::string(asan) + ":" : std::string();
    setenv("ASAN_OPTIONS", (options + "verify_asan_link_order=0").c_str(), 1);
    // ThreadSanitizer cannot see the testbed's own (GLib) locking: its
    // reports there are muted, every report in the code under test stays.
    const char* tsan = std::getenv("TSAN_OPTIONS");
    options = tsan && *tsan ? std::string(tsan) + ":" : std::string();
    setenv("TSAN_OPTIONS", (options + "suppressions=" QV_UMOCKDEV_TSAN_SUPPRESSIONS).c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("scripted FX2: re-executing under the umockdev preload");
    std::exit(2);
}

}  // namespace fx2test
