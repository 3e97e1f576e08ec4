// The one seam between the board link and a USB library. The protocol code
// (firmware download, commands, stream ring and thread) is written against
// UsbPort only; each USB library gets one binding file that implements it.
//
// Threads: the GUI thread issues control transfers and commands (endpoints
// 0x01/0x81) while the stream thread reads endpoint 0x88 through the same
// port; implementations must allow these calls to overlap.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qv {

// What the user is told when the device is on the bus but its node may not be
// opened (EACCES): the udev rule that grants the logged-in user access is
// missing, or the board was plugged in before the rule was installed. Every
// USB binding uses this text.
inline std::string no_permission_message(int vendor, int product, int bus, int device) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "No permission to open the USB device %04x:%04x (bus %d device %d): install the "
                  "udev rule (see README) and plug the board in again",
                  vendor & 0xFFFF, product & 0xFFFF, bus, device);
    return text;
}

class UsbPort {
  public:
    UsbPort() = default;
    UsbPort(const UsbPort&) = delete;
    UsbPort& operator=(const UsbPort&) = delete;
    virtual ~UsbPort() = default;

    // Host-to-device control transfer with `length` data bytes.
    // Returns the bytes sent, or a negative error number (-ETIMEDOUT, -EIO, ...).
    virtual int control_out(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                            const uint8_t* data, uint16_t length, unsigned timeout_ms) = 0;

    // Bulk OUT transfer. Returns the bytes sent, or a negative error number.
    virtual int bulk_write(uint8_t endpoint, const uint8_t* data, int length,
                           unsigned timeout_ms) = 0;

    // Bulk IN transfer of up to `length` bytes into `data`. Returns 0 when the
    // transfer completed, or a negative error number (-ETIMEDOUT on timeout).
    // `*transferred` is always set to the bytes actually moved into `data`,
    // including bytes that arrived before a timeout or error.
    virtual int bulk_read(uint8_t endpoint, uint8_t* data, int length, unsigned timeout_ms,
                          int* transferred) = 0;

    virtual int set_configuration(int configuration) = 0;
    virtual int claim_interface(int interface_number) = 0;
    virtual int set_alt_setting(int interface_number, int alt_setting) = 0;

    // Closes the device; later calls fail. Idempotent. Not to be called while
    // another thread is inside a transfer on this port.
    virtual void close() = 0;

    // The device descriptor's identifiers, when the binding can tell them.
    // Returns false (and leaves the outputs alone) when it cannot.
    virtual bool device_ids(int* vendor, int* product) {
        (void)vendor;
        (void)product;
        return false;
    }
};

}  // namespace qv
