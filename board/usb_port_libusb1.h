// libusb-1.0 binding of the board link.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "usb_port.h"

namespace qv {

// Initialises libusb's default context and opens the first attached device
// with `vendor`/`product`. Returns no port when none matches or none of those
// that match can be opened. Then `*error`, when given, is empty when no device
// matched (or it went away before it could be opened), else one sentence for
// the user: no_permission_message() for a device the user may not open
// (EACCES), the library's reason otherwise.
std::unique_ptr<UsbPort> open_libusb1_port(int vendor, int product, std::string* error = nullptr);

// Where an attached device sits on the bus.
struct UsbLocation {
    int bus = 0;
    int address = 0;
};

// Lists the attached devices with `vendor`/`product` (initialising libusb's
// default context), in the library's order, without opening any. Returns 0
// with `*found` filled (empty when none matches), or a negative error number
// when the bus cannot be listed.
int list_libusb1_devices(int vendor, int product, std::vector<UsbLocation>* found);

// Opens the device with `vendor`/`product` at `where`. Returns 0 with `*port`
// set; -ENODEV when no such device is there; the open's error otherwise
// (-EACCES: no permission, see no_permission_message()).
int open_libusb1_port_at(int vendor, int product, UsbLocation where,
                         std::unique_ptr<UsbPort>* port);

}  // namespace qv
