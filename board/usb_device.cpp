#include "usb_device.h"

USB_Device_::USB_Device_(std::unique_ptr<qv::UsbPort> handle, const qv::LinkProfile& profile)
    : handle_(std::move(handle)), profile_(profile) {}

USB_Device_::~USB_Device_() {
    if (handle_) handle_->close();
}
