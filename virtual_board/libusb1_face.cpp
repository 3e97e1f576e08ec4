// libusb-1.0 face of the virtual board: the libusb functions a board link uses,
// with libusb's exact signatures, each a thin call into VirtualBoard. Linked
// in place of libusb-1.0, or put in front of it with LD_PRELOAD.
#include <libusb.h>

#include <cstdarg>
#include <memory>

#include "virtual_board.h"

using vboard::Result;
using vboard::Session;
using vboard::VirtualBoard;

// libusb declares these opaque; the virtual board gives them their content.
struct libusb_context {
    int debug_level = 0;
};

struct libusb_device_handle {
    std::unique_ptr<Session> session;
};

// The board as an entry of the device list: one per process, on bus 1 at
// address 2 (as the libusb-0.1 face lists it). It lives as long as the
// process, so references need no counting.
struct libusb_device {
    uint8_t bus_number = 1;
    uint8_t address = 2;
};

namespace {

libusb_context g_default_context;
libusb_device g_board;

// The FX2 as it enumerates without firmware; the firmware keeps its identifiers.
libusb_device_descriptor board_descriptor() {
    libusb_device_descriptor d{};
    d.bLength = LIBUSB_DT_DEVICE_SIZE;
    d.bDescriptorType = LIBUSB_DT_DEVICE;
    d.bcdUSB = 0x0200;
    d.bDeviceClass = LIBUSB_CLASS_VENDOR_SPEC;
    d.bDeviceSubClass = 0xFF;
    d.bDeviceProtocol = 0xFF;
    d.bMaxPacketSize0 = 64;
    d.idVendor = vboard::kVendorId;
    d.idProduct = vboard::kProductId;
    d.bNumConfigurations = 1;
    return d;
}

int to_libusb(Result r) {
    switch (r) {
        case Result::ok:
            return LIBUSB_SUCCESS;
        case Result::timeout:
            return LIBUSB_ERROR_TIMEOUT;
        case Result::no_device:
            return LIBUSB_ERROR_NO_DEVICE;
        case Result::pipe:
            return LIBUSB_ERROR_PIPE;
        case Result::not_found:
            return LIBUSB_ERROR_NOT_FOUND;
        case Result::overflow:
            return LIBUSB_ERROR_OVERFLOW;
        case Result::invalid_param:
            return LIBUSB_ERROR_INVALID_PARAM;
        case Result::access:
            return LIBUSB_ERROR_ACCESS;
    }
    return LIBUSB_ERROR_OTHER;
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    VirtualBoard::instance();  // the board comes onto the bus with the first session
    if (ctx) *ctx = &g_default_context;
    return LIBUSB_SUCCESS;
}

// The board outlives every context: handles still open keep working.
void LIBUSB_CALL libusb_exit(libusb_context* /*ctx*/) {}

void LIBUSB_CALL libusb_set_debug(libusb_context* ctx, int level) {
    (ctx ? ctx : &g_default_context)->debug_level = level;
}

int LIBUSB_CALL libusb_set_option(libusb_context* ctx, enum libusb_option option, ...) {
    if (option == LIBUSB_OPTION_LOG_LEVEL) {
        va_list args;
        va_start(args, option);
        (ctx ? ctx : &g_default_context)->debug_level = va_arg(args, int);
        va_end(args);
    }
    return LIBUSB_SUCCESS;
}

// The list holds the board while it is plugged in, else nothing.
ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* /*ctx*/, libusb_device*** list) {
    if (!list) return LIBUSB_ERROR_INVALID_PARAM;
    const bool plugged = VirtualBoard::instance().stats().plugged;
    *list = new libusb_device* [2] { plugged ? &g_board : nullptr, nullptr };
    return plugged ? 1 : 0;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int /*unref_devices*/) {
    delete[] list;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) { return dev; }
void LIBUSB_CALL libusb_unref_device(libusb_device* /*dev*/) {}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    if (!dev || !desc) return LIBUSB_ERROR_INVALID_PARAM;
    *desc = board_descriptor();
    return LIBUSB_SUCCESS;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) { return dev ? dev->bus_number : 0; }
uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) { return dev ? dev->address : 0; }

// A list entry taken before an unplug opens nothing (LIBUSB_ERROR_NO_DEVICE);
// one taken before a replug opens the board that is there now.
int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    if (!dev || !dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    const libusb_device_descriptor d = board_descriptor();
    std::unique_ptr<Session> s;
    const Result r = VirtualBoard::instance().open(d.idVendor, d.idProduct, &s);
    if (r != Result::ok) return to_libusb(r);
    *dev_handle = new libusb_device_handle;
    (*dev_handle)->session = std::move(s);
    return LIBUSB_SUCCESS;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* /*dev_handle*/) {
    return &g_board;
}

// Null when the board is absent, denied (deny_open) or not the one asked for.
libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* /*ctx*/,
                                                                  uint16_t vendor_id,
                                                                  uint16_t product_id) {
    std::unique_ptr<Session> s;
    if (VirtualBoard::instance().open(vendor_id, product_id, &s) != Result::ok) return nullptr;
    auto* handle = new libusb_device_handle;
    handle->session = std::move(s);
    return handle;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle) {
    if (!dev_handle) return;
    VirtualBoard::instance().close(*dev_handle->session);
    delete dev_handle;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* dev_handle, int configuration) {
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    return to_libusb(
        VirtualBoard::instance().set_configuration(*dev_handle->session, configuration));
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    return to_libusb(
        VirtualBoard::instance().claim_interface(*dev_handle->session, interface_number));
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    return to_libusb(
        VirtualBoard::instance().release_interface(*dev_handle->session, interface_number));
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* dev_handle,
                                                 int interface_number, int alternate_setting) {
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    return to_libusb(VirtualBoard::instance().set_alt_setting(*dev_handle->session,
                                                              interface_number, alternate_setting));
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type,
                                        uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                        unsigned char* data, uint16_t wLength,
                                        unsigned int timeout) {
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    int moved = 0;
    const Result r =
        VirtualBoard::instance().control(*dev_handle->session, request_type, bRequest, wValue,
                                         wIndex, data, wLength, timeout, &moved);
    return r == Result::ok ? moved : to_libusb(r);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* actual_length,
                                     unsigned int timeout) {
    if (actual_length) *actual_length = 0;
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    int moved = 0;
    VirtualBoard& board = VirtualBoard::instance();
    const Result r =
        (endpoint & LIBUSB_ENDPOINT_IN)
            ? board.bulk_in(*dev_handle->session, endpoint, data, length, timeout, &moved)
            : board.bulk_out(*dev_handle->session, endpoint, data, length, timeout, &moved);
    if (actual_length) *actual_length = moved;
    return to_libusb(r);
}

const char* LIBUSB_CALL libusb_error_name(int errcode) {
    switch (errcode) {
        case LIBUSB_SUCCESS:
            return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
        case LIBUSB_ERROR_IO:
            return "LIBUSB_ERROR_IO";
        case LIBUSB_ERROR_INVALID_PARAM:
            return "LIBUSB_ERROR_INVALID_PARAM";
        case LIBUSB_ERROR_ACCESS:
            return "LIBUSB_ERROR_ACCESS";
        case LIBUSB_ERROR_NO_DEVICE:
            return "LIBUSB_ERROR_NO_DEVICE";
        case LIBUSB_ERROR_NOT_FOUND:
            return "LIBUSB_ERROR_NOT_FOUND";
        case LIBUSB_ERROR_BUSY:
            return "LIBUSB_ERROR_BUSY";
        case LIBUSB_ERROR_TIMEOUT:
            return "LIBUSB_ERROR_TIMEOUT";
        case LIBUSB_ERROR_OVERFLOW:
            return "LIBUSB_ERROR_OVERFLOW";
        case LIBUSB_ERROR_PIPE:
            return "LIBUSB_ERROR_PIPE";
        case LIBUSB_ERROR_INTERRUPTED:
            return "LIBUSB_ERROR_INTERRUPTED";
        case LIBUSB_ERROR_NO_MEM:
            return "LIBUSB_ERROR_NO_MEM";
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return "LIBUSB_ERROR_NOT_SUPPORTED";
        case LIBUSB_ERROR_OTHER:
            return "LIBUSB_ERROR_OTHER";
    }
    return "**UNKNOWN**";
}

const char* LIBUSB_CALL libusb_strerror(int errcode) {
    switch (errcode) {
        case LIBUSB_SUCCESS:
            return "Success";
        case LIBUSB_ERROR_IO:
            return "Input/Output Error";
        case LIBUSB_ERROR_INVALID_PARAM:
            return "Invalid parameter";
        case LIBUSB_ERROR_ACCESS:
            return "Access denied (insufficient permissions)";
        case LIBUSB_ERROR_NO_DEVICE:
            return "No such device (it may have been disconnected)";
        case LIBUSB_ERROR_NOT_FOUND:
            return "Entity not found";
        case LIBUSB_ERROR_BUSY:
            return "Resource busy";
        case LIBUSB_ERROR_TIMEOUT:
            return "Operation timed out";
        case LIBUSB_ERROR_OVERFLOW:
            return "Overflow";
        case LIBUSB_ERROR_PIPE:
            return "Pipe error";
        case LIBUSB_ERROR_INTERRUPTED:
            return "System call interrupted (perhaps due to signal)";
        case LIBUSB_ERROR_NO_MEM:
            return "Insufficient memory";
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return "Operation not supported or unimplemented on this platform";
        case LIBUSB_ERROR_OTHER:
            return "Other error";
    }
    return "Unknown error";
}

}  // extern "C"
