// libusb-0.1 binding of the board link, for the classic program.
#pragma once

#include <memory>

#include "usb_port.h"

namespace qv {

// Initialises libusb-0.1 (debug output off), scans the busses and opens the
// first device on any bus whose device descriptor carries `vendor`/`product`;
// a matching device that cannot be opened is passed over for the next match.
// When none is opened, writes "not found\n" and then "Bye!\n" to standard
// error and returns no port.
std::unique_ptr<UsbPort> open_libusb0_port(int vendor, int product);

}  // namespace qv
