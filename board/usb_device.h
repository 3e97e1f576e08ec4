// Base of every board object: owns the open USB device.
//
// Threads: no lock of its own. The GUI thread's operations and the stream
// thread reach the device through port() at the same time, on different
// endpoints (usb_port.h allows that); profile() is fixed at construction and
// may be read from any thread. The device closes when the object is
// destroyed: derived classes stop their stream thread before that.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link_profile.h"
#include "usb_port.h"

// Identity of a board: the search key of create_board (vendor, product) and
// what get_board_descriptor reports.
struct BoardDescriptor {
    int vendor = 0;
    int product = 0;
    int serial_number = 0;
    int board_class = 0;
    int firmware_version = 0;
    std::string description;
};

class USB_Device_ {
  public:
    // Takes ownership of the open device; `profile` selects the binding's
    // conventions (error numbers, stream read size, shadow, messages).
    USB_Device_(std::unique_ptr<qv::UsbPort> handle, const qv::LinkProfile& profile);
    USB_Device_(const USB_Device_&) = delete;
    USB_Device_& operator=(const USB_Device_&) = delete;
    // Closes the device. Derived classes stop everything that uses it first.
    virtual ~USB_Device_();

    // Queries the board (command 12) and fills serial number, board class,
    // firmware version and description; vendor and product stay as the caller
    // set them unless the binding reads them from the device.
    virtual int get_board_descriptor(BoardDescriptor& d) = 0;

    const qv::LinkProfile& profile() const { return profile_; }

  protected:
    qv::UsbPort& port() { return *handle_; }

  private:
    std::unique_ptr<qv::UsbPort> handle_;
    const qv::LinkProfile profile_;
};

// JTAG port of the board.
class JTAG_Adapter_ {
  public:
    virtual ~JTAG_Adapter_() = default;
    // Shifts `bytes` through the JTAG chain; the bytes shifted out replace them.
    virtual int jtag_scan(std::vector<uint8_t>& bytes) = 0;
};
