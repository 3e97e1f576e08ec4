// libusb-0.1 binding of the board link, for the classic program.
#pragma once

#include <memory>
#include <string>

#include "usb_port.h"

namespace qv {

// Initialises libusb-0.1 (debug output off), scans the busses and opens the
// first device on any bus whose device descriptor carries `vendor`/`product`;
// a matching device that cannot be opened is passed over for the next match.
// When none is opened it returns no port: `*error`, when given, gets
// no_permission_message() when a match was refused (EACCES, EPERM: the udev
// rule is missing); otherwise it stays empty and "not found\n" and then
// "Bye!\n" go to standard error.
//
// Transfers: one at a time reaches the library (libusb-0.1.12 mixes up the
// URBs of two threads on one handle); the stream endpoint's reads wait in
// short slices and let commands go first. A bulk transfer that moves nothing
// asks the endpoint's status: -ENODEV when the device is gone, -EPIPE when the
// endpoint is halted, else 0 bytes.
std::unique_ptr<UsbPort> open_libusb0_port(int vendor, int product, std::string* error = nullptr);

}  // namespace qv
