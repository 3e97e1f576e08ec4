// The only file of the project that talks to the libusb-0.1 interface.
#include "usb_port_libusb0.h"

#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "protocol.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

// A read of the stream endpoint waits in slices of this many milliseconds,
// so that commands get in between (see TransferGate).
constexpr unsigned kStreamSliceMs = 10;
// After a command transfer the stream reads stay back this long, so that the
// next transfer of a burst of commands does not wait for a slice.
constexpr auto kCommandLinger = std::chrono::milliseconds(5);

// libusb-0.1.12 does not carry two transfers on one handle at once: a
// transfer that times out discards its URB and then reaps whatever URB of the
// handle completed next, also another thread's, whose transfer then waits for
// its own timeout and fails although the board took it; and a reply or a
// stream transfer reaped by the wrong thread is lost without a trace. (Tried
// against a scripted FX2: commands sent while the stream thread read failed
// now and then, and stream transfers went missing.) So the binding lets one
// transfer at a time reach the library. The stream thread's reads, which wait
// without pause, yield: they wait in slices of kStreamSliceMs and stay back
// while a command waits and for kCommandLinger after one.
class TransferGate {
  public:
    // Waits until no transfer runs; `yields` (a stream read slice) also
    // until no command waits and the last command is kCommandLinger past.
    void enter(bool yields) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!yields) {
            ++waiting_;
            free_.wait(lock, [&] { return !busy_; });
            --waiting_;
        } else {
            for (;;) {
                if (busy_ || waiting_ > 0) {
                    free_.wait(lock);
                } else if (Clock::now() < quiet_from_) {
                    free_.wait_until(lock, quiet_from_);
                } else {
                    break;
                }
            }
        }
        busy_ = true;
    }
    void leave(bool yields) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            busy_ = false;
            if (!yields) quiet_from_ = Clock::now() + kCommandLinger;
        }
        free_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable free_;
    bool busy_ = false;
    int waiting_ = 0;
    Clock::time_point quiet_from_;
};

// Holds the gate for one library call.
class GateHold {
  public:
    GateHold(TransferGate& gate, bool yields) : gate_(gate), yields_(yields) {
        gate_.enter(yields);
    }
    ~GateHold() { gate_.leave(yields_); }
    GateHold(const GateHold&) = delete;
    GateHold& operator=(const GateHold&) = delete;

  private:
    TransferGate& gate_;
    const bool yields_;
};

// libusb-0.1 reports failures as negative errno values on Linux; anything
// outside the errno range (other back ends) becomes -EIO. The one place where
// the library's results are converted.
int to_errno(int rc) {
    if (rc >= 0) return rc;
    return rc > -4096 ? rc : -EIO;
}

class Libusb0Port final : public UsbPort {
  public:
    explicit Libusb0Port(usb_dev_handle* handle) : handle_(handle) {}
    ~Libusb0Port() override { close(); }

    int control_out(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                    const uint8_t* data, uint16_t length, unsigned timeout_ms) override {
        if (!handle_) return -ENODEV;
        GateHold hold(gate_, false);
        // libusb-0.1 takes a non-const buffer for both directions; OUT does not write it.
        char* bytes = reinterpret_cast<char*>(const_cast<uint8_t*>(data));
        return to_errno(usb_control_msg(handle_, request_type, request, value, index, bytes, length,
                                        timeout_arg(timeout_ms)));
    }

    int bulk_write(uint8_t endpoint, const uint8_t* data, int length,
                   unsigned timeout_ms) override {
        if (!handle_) return -ENODEV;
        GateHold hold(gate_, false);
        const int rc =
            to_errno(usb_bulk_write(handle_, endpoint, reinterpret_cast<const char*>(data), length,
                                    timeout_arg(timeout_ms)));
        if (rc == 0 && length > 0) return nothing_moved(endpoint, timeout_ms);
        return rc;
    }

    // The result is the byte count; a timeout or error reports no count, so
    // whatever arrived before it counts as not moved. The stream endpoint is
    // read in slices of kStreamSliceMs up to `timeout_ms` in all; a slice
    // that ends in its timeout after part of a transfer loses that part, as
    // a timeout does.
    int bulk_read(uint8_t endpoint, uint8_t* data, int length, unsigned timeout_ms,
                  int* transferred) override {
        *transferred = 0;
        if (!handle_) return -ENODEV;
        const bool yields = endpoint == kEpStreamIn;
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            unsigned slice_ms = timeout_ms;
            if (yields) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
                slice_ms =
                    static_cast<unsigned>(std::clamp<long long>(left.count(), 1, kStreamSliceMs));
            }
            GateHold hold(gate_, yields);
            int rc = to_errno(usb_bulk_read(handle_, endpoint, reinterpret_cast<char*>(data),
                                            length, timeout_arg(slice_ms)));
            if (rc == 0 && length > 0) rc = nothing_moved(endpoint, slice_ms);
            if (rc == -ETIMEDOUT && yields && Clock::now() < end) continue;
            if (rc < 0) return rc;
            *transferred = rc;
            return 0;
        }
    }

    int set_configuration(int configuration) override {
        if (!handle_) return -ENODEV;
        GateHold hold(gate_, false);
        return to_errno(usb_set_configuration(handle_, configuration));
    }

    int claim_interface(int interface_number) override {
        if (!handle_) return -ENODEV;
        GateHold hold(gate_, false);
        return to_errno(usb_claim_interface(handle_, interface_number));
    }

    // libusb-0.1 sets the alternate setting of the interface claimed last on
    // the handle; the board has only interface 0.
    int set_alt_setting(int interface_number, int alt_setting) override {
        (void)interface_number;
        if (!handle_) return -ENODEV;
        GateHold hold(gate_, false);
        return to_errno(usb_set_altinterface(handle_, alt_setting));
    }

    // Nothing moved on a bulk endpoint, which libusb-0.1 reports as 0 bytes
    // and no error when the endpoint stalled or the device went away while
    // the transfer waited. The endpoint's status tells: -ENODEV when the
    // device is gone, -EPIPE when the endpoint is halted, else 0 (a
    // zero-length packet: no data yet). Called with the gate held.
    int nothing_moved(uint8_t endpoint, unsigned timeout_ms) {
        char status[2] = {};
        const int rc =
            usb_control_msg(handle_, USB_ENDPOINT_IN | USB_RECIP_ENDPOINT, USB_REQ_GET_STATUS, 0,
                            endpoint, status, sizeof status, timeout_arg(timeout_ms));
        if (to_errno(rc) == -ENODEV) return -ENODEV;
        if (rc == static_cast<int>(sizeof status) && (status[0] & 1)) return -EPIPE;
        return 0;
    }

    void close() override {
        if (handle_) usb_close(handle_);
        handle_ = nullptr;
    }

    bool device_ids(int* vendor, int* product) override {
        if (!handle_) return false;
        const struct usb_device* dev = usb_device(handle_);
        if (!dev) return false;
        *vendor = dev->descriptor.idVendor;
        *product = dev->descriptor.idProduct;
        return true;
    }

  private:
    static int timeout_arg(unsigned timeout_ms) {
        return timeout_ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(timeout_ms);
    }

    usb_dev_handle* handle_;
    TransferGate gate_;
};

// libusb-0.1 opens a node it may only read as well, and every request on it
// then fails with EPERM: a standard GET_STATUS of the device tells (a board
// that stalls it is usable all the same).
bool may_use(usb_dev_handle* handle) {
    char status[2] = {};
    const int rc = usb_control_msg(handle, USB_ENDPOINT_IN | USB_RECIP_DEVICE, USB_REQ_GET_STATUS,
                                   0, 0, status, sizeof status, 300);
    return rc != -EPERM && rc != -EACCES;
}

}  // namespace

std::unique_ptr<UsbPort> open_libusb0_port(int vendor, int product, std::string* error) {
    if (error) error->clear();
    usb_init();
    usb_set_debug(0);
    usb_find_busses();
    usb_find_devices();
    int refused = 0;  // errno of the first match that would not open
    int bus_number = 0, device_number = 0;
    for (struct usb_bus* bus = usb_get_busses(); bus; bus = bus->next) {
        for (struct usb_device* dev = bus->devices; dev; dev = dev->next) {
            if (dev->descriptor.idVendor != vendor || dev->descriptor.idProduct != product)
                continue;
            errno = 0;
            usb_dev_handle* handle = usb_open(dev);
            if (handle && !may_use(handle)) {
                usb_close(handle);
                handle = nullptr;
                errno = EACCES;
            }
            if (handle) return std::make_unique<Libusb0Port>(handle);
            if (refused == 0) {
                refused = errno ? errno : EIO;
                bus_number = std::atoi(bus->dirname);
                device_number = dev->devnum ? dev->devnum : std::atoi(dev->filename);
            }
        }
    }
    if (refused == EACCES || refused == EPERM) {
        if (error) *error = no_permission_message(vendor, product, bus_number, device_number);
        return nullptr;
    }
    std::fputs("not found\n", stderr);
    std::fputs("Bye!\n", stderr);
    return nullptr;
}

}  // namespace qv
