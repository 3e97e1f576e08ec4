// libusb-1.0 binding of the board link.
#pragma once

#include <memory>

#include "usb_port.h"

namespace qv {

// Initialises libusb's default context and opens the first attached device
// with `vendor`/`product`. Returns no port when none matches.
std::unique_ptr<UsbPort> open_libusb1_port(int vendor, int product);

}  // namespace qv
