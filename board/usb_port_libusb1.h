// libusb-1.0 binding of the board link.
#pragma once

#include <memory>
#include <string>

#include "usb_port.h"

namespace qv {

// Initialises libusb's default context and opens the first attached device
// with `vendor`/`product`. Returns no port when none matches or none of those
// that match can be opened. Then `*error`, when given, is empty when no device
// matched (or it went away before it could be opened), else one sentence for
// the user: no_permission_message() for a device the user may not open
// (EACCES), the library's reason otherwise.
std::unique_ptr<UsbPort> open_libusb1_port(int vendor, int product, std::string* error = nullptr);

}  // namespace qv
