// libusb-0.1 face of the virtual board: the usb_* functions a board link over
// the older interface uses, with <usb.h>'s exact signatures, each a thin call
// into VirtualBoard. Linked in place of libusb-0.1, or put in front of it with
// LD_PRELOAD (the launcher does that), so a program linked with -lusb reaches
// the virtual board unchanged.
//
// The bus list holds one bus ("001") with the board ("002") on it while the
// board is plugged in, and no device after unplug(). Results follow
// libusb-0.1 on Linux: a byte count or 0 on success, a negative errno on
// failure. A bulk transfer that times out reports -ETIMEDOUT and no byte
// count, even when some bytes arrived before the timeout (they are lost).
//
// Not modelled: configuration descriptors (usb_device::config stays null),
// string descriptors, usb_reset and the other calls not defined here.
#include <usb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "virtual_board.h"

using vboard::Result;
using vboard::Session;
using vboard::VirtualBoard;

// <usb.h> declares the handle opaque; the virtual board gives it its content.
struct usb_dev_handle {
    std::unique_ptr<Session> session;
    struct usb_device* device = nullptr;
    int claimed_interface = -1;  // usb_set_altinterface applies to this one
};

// The bus list of libusb-0.1, also reachable as a variable.
struct usb_bus* usb_busses = nullptr;

namespace {

// Guards the bus list and the devices' linkage (usb_find_* and usb_get_busses).
std::mutex g_bus_mutex;
struct usb_bus g_bus;
struct usb_device g_board;
bool g_bus_listed = false;
bool g_board_listed = false;

// Text of the last failure, for usb_strerror (per thread, as errno is).
thread_local char g_error[96] = "No error";

// The FX2 as it enumerates without firmware; the firmware keeps its identifiers.
void describe_board(struct usb_device& dev, struct usb_bus& bus) {
    std::memset(&dev, 0, sizeof dev);
    std::snprintf(dev.filename, sizeof dev.filename, "%s", "002");
    dev.bus = &bus;
    dev.devnum = 2;
    struct usb_device_descriptor& d = dev.descriptor;
    d.bLength = USB_DT_DEVICE_SIZE;
    d.bDescriptorType = USB_DT_DEVICE;
    d.bcdUSB = 0x0200;
    d.bDeviceClass = USB_CLASS_VENDOR_SPEC;
    d.bDeviceSubClass = 0xFF;
    d.bDeviceProtocol = 0xFF;
    d.bMaxPacketSize0 = 64;
    d.idVendor = vboard::kVendorId;
    d.idProduct = vboard::kProductId;
    d.bNumConfigurations = 1;
}

int fail(int err, const char* what) {
    std::snprintf(g_error, sizeof g_error, "%s: %s", what, std::strerror(-err));
    return err;
}

int to_errno(Result r, const char* what) {
    switch (r) {
        case Result::ok:
            return 0;
        case Result::timeout:
            return fail(-ETIMEDOUT, what);
        case Result::no_device:
            return fail(-ENODEV, what);
        case Result::pipe:
            return fail(-EPIPE, what);
        case Result::not_found:
            return fail(-ENOENT, what);
        case Result::overflow:
            return fail(-EOVERFLOW, what);
        case Result::invalid_param:
            return fail(-EINVAL, what);
        case Result::access:
            return fail(-EACCES, what);
    }
    return fail(-EIO, what);
}

unsigned timeout_of(int timeout_ms) { return timeout_ms > 0 ? unsigned(timeout_ms) : 0u; }

}  // namespace

extern "C" {

void usb_init(void) {
    VirtualBoard::instance();  // the board comes onto the bus
}

void usb_set_debug(int /*level*/) {}

// Returns the number of busses added (1 on the first scan, then 0). The
// board's device entry is filled once here and never changes, so pointers
// the program keeps from a scan stay valid.
int usb_find_busses(void) {
    std::lock_guard<std::mutex> lock(g_bus_mutex);
    if (g_bus_listed) return 0;
    std::memset(&g_bus, 0, sizeof g_bus);
    std::snprintf(g_bus.dirname, sizeof g_bus.dirname, "%s", "001");
    g_bus.location = 1;
    describe_board(g_board, g_bus);
    g_bus_listed = true;
    usb_busses = &g_bus;
    return 1;
}

// Returns the number of devices added or removed since the last scan.
int usb_find_devices(void) {
    const bool plugged = VirtualBoard::instance().stats().plugged;
    std::lock_guard<std::mutex> lock(g_bus_mutex);
    if (!g_bus_listed || plugged == g_board_listed) return 0;
    g_bus.devices = plugged ? &g_board : nullptr;
    g_board_listed = plugged;
    return 1;
}

struct usb_bus* usb_get_busses(void) {
    std::lock_guard<std::mutex> lock(g_bus_mutex);
    return usb_busses;
}

usb_dev_handle* usb_open(struct usb_device* dev) {
    if (dev != &g_board) {
        fail(-ENODEV, "usb_open");
        return nullptr;
    }
    std::unique_ptr<Session> s;
    const Result r =
        VirtualBoard::instance().open(dev->descriptor.idVendor, dev->descriptor.idProduct, &s);
    if (r != Result::ok) {
        // A node the user may not open (deny_open) fails as libusb-0.1's
        // open(2) does, with errno EACCES; usb_strerror says so.
        to_errno(r, "usb_open");
        errno = r == Result::access ? EACCES : ENODEV;
        return nullptr;
    }
    auto* handle = new usb_dev_handle;
    handle->session = std::move(s);
    handle->device = dev;
    return handle;
}

int usb_close(usb_dev_handle* dev) {
    if (!dev) return fail(-EINVAL, "usb_close");
    VirtualBoard::instance().close(*dev->session);
    delete dev;
    return 0;
}

struct usb_device* usb_device(usb_dev_handle* dev) {
    return dev ? dev->device : nullptr;
}

int usb_set_configuration(usb_dev_handle* dev, int configuration) {
    if (!dev) return fail(-EINVAL, "usb_set_configuration");
    return to_errno(VirtualBoard::instance().set_configuration(*dev->session, configuration),
                    "usb_set_configuration");
}

int usb_claim_interface(usb_dev_handle* dev, int interface) {
    if (!dev) return fail(-EINVAL, "usb_claim_interface");
    const int rc = to_errno(VirtualBoard::instance().claim_interface(*dev->session, interface),
                            "usb_claim_interface");
    if (rc == 0) dev->claimed_interface = interface;
    return rc;
}

int usb_release_interface(usb_dev_handle* dev, int interface) {
    if (!dev) return fail(-EINVAL, "usb_release_interface");
    const int rc = to_errno(VirtualBoard::instance().release_interface(*dev->session, interface),
                            "usb_release_interface");
    if (rc == 0 && dev->claimed_interface == interface) dev->claimed_interface = -1;
    return rc;
}

// Applies to the interface claimed on this handle; none claimed: -EINVAL.
int usb_set_altinterface(usb_dev_handle* dev, int alternate) {
    if (!dev || dev->claimed_interface < 0) return fail(-EINVAL, "usb_set_altinterface");
    return to_errno(
        VirtualBoard::instance().set_alt_setting(*dev->session, dev->claimed_interface, alternate),
        "usb_set_altinterface");
}

int usb_control_msg(usb_dev_handle* dev, int requesttype, int request, int value, int index,
                    char* bytes, int size, int timeout) {
    if (!dev || size < 0 || size > 0xFFFF) return fail(-EINVAL, "usb_control_msg");
    int moved = 0;
    const Result r = VirtualBoard::instance().control(
        *dev->session, uint8_t(requesttype), uint8_t(request), uint16_t(value), uint16_t(index),
        reinterpret_cast<uint8_t*>(bytes), uint16_t(size), timeout_of(timeout), &moved);
    return r == Result::ok ? moved : to_errno(r, "usb_control_msg");
}

int usb_bulk_write(usb_dev_handle* dev, int ep, const char* bytes, int size, int timeout) {
    if (!dev) return fail(-EINVAL, "usb_bulk_write");
    int moved = 0;
    const Result r = VirtualBoard::instance().bulk_out(
        *dev->session, uint8_t(ep & ~USB_ENDPOINT_IN), reinterpret_cast<const uint8_t*>(bytes),
        size, timeout_of(timeout), &moved);
    return r == Result::ok ? moved : to_errno(r, "usb_bulk_write");
}

// The IN direction bit of `ep` is implied, as in libusb-0.1.
int usb_bulk_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout) {
    if (!dev) return fail(-EINVAL, "usb_bulk_read");
    int moved = 0;
    const Result r = VirtualBoard::instance().bulk_in(*dev->session, uint8_t(ep | USB_ENDPOINT_IN),
                                                      reinterpret_cast<uint8_t*>(bytes), size,
                                                      timeout_of(timeout), &moved);
    return r == Result::ok ? moved : to_errno(r, "usb_bulk_read");
}

char* usb_strerror(void) { return g_error; }

}  // extern "C"
