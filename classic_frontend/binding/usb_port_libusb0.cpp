// The only file of the project that talks to the libusb-0.1 interface.
#include "usb_port_libusb0.h"

#include <usb.h>

#include <cerrno>
#include <cstdio>

namespace qv {
namespace {

// libusb-0.1 reports failures as negative errno values on Linux; anything
// outside the errno range (other back ends) becomes -EIO. The one place where
// the library's results are converted.
int to_errno(int rc) {
    if (rc >= 0) return rc;
    return rc > -4096 ? rc : -EIO;
}

class Libusb0Port final : public UsbPort {
  public:
    explicit Libusb0Port(usb_dev_handle* handle) : handle_(handle) {}
    ~Libusb0Port() override { close(); }

    int control_out(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                    const uint8_t* data, uint16_t length, unsigned timeout_ms) override {
        if (!handle_) return -ENODEV;
        // libusb-0.1 takes a non-const buffer for both directions; OUT does not write it.
        char* bytes = reinterpret_cast<char*>(const_cast<uint8_t*>(data));
        return to_errno(usb_control_msg(handle_, request_type, request, value, index, bytes, length,
                                        timeout_arg(timeout_ms)));
    }

    int bulk_write(uint8_t endpoint, const uint8_t* data, int length,
                   unsigned timeout_ms) override {
        if (!handle_) return -ENODEV;
        return to_errno(usb_bulk_write(handle_, endpoint, reinterpret_cast<const char*>(data),
                                       length, timeout_arg(timeout_ms)));
    }

    int bulk_read(uint8_t endpoint, uint8_t* data, int length, unsigned timeout_ms,
                  int* transferred) override {
        *transferred = 0;
        if (!handle_) return -ENODEV;
        // The result is the byte count; a timeout or error reports no count,
        // so whatever arrived before it counts as not moved.
        const int rc = to_errno(usb_bulk_read(handle_, endpoint, reinterpret_cast<char*>(data),
                                              length, timeout_arg(timeout_ms)));
        if (rc < 0) return rc;
        *transferred = rc;
        return 0;
    }

    int set_configuration(int configuration) override {
        if (!handle_) return -ENODEV;
        return to_errno(usb_set_configuration(handle_, configuration));
    }

    int claim_interface(int interface_number) override {
        if (!handle_) return -ENODEV;
        return to_errno(usb_claim_interface(handle_, interface_number));
    }

    // libusb-0.1 sets the alternate setting of the interface claimed last on
    // the handle; the board has only interface 0.
    int set_alt_setting(int interface_number, int alt_setting) override {
        (void)interface_number;
        if (!handle_) return -ENODEV;
        return to_errno(usb_set_altinterface(handle_, alt_setting));
    }

    void close() override {
        if (handle_) usb_close(handle_);
        handle_ = nullptr;
    }

    bool device_ids(int* vendor, int* product) override {
        if (!handle_) return false;
        const struct usb_device* dev = usb_device(handle_);
        if (!dev) return false;
        *vendor = dev->descriptor.idVendor;
        *product = dev->descriptor.idProduct;
        return true;
    }

  private:
    static int timeout_arg(unsigned timeout_ms) {
        return timeout_ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(timeout_ms);
    }

    usb_dev_handle* handle_;
};

}  // namespace

std::unique_ptr<UsbPort> open_libusb0_port(int vendor, int product) {
    usb_init();
    usb_set_debug(0);
    usb_find_busses();
    usb_find_devices();
    for (struct usb_bus* bus = usb_get_busses(); bus; bus = bus->next) {
        for (struct usb_device* dev = bus->devices; dev; dev = dev->next) {
            if (dev->descriptor.idVendor != vendor || dev->descriptor.idProduct != product)
                continue;
            if (usb_dev_handle* handle = usb_open(dev))
                return std::make_unique<Libusb0Port>(handle);
        }
    }
    std::fputs("not found\n", stderr);
    std::fputs("Bye!\n", stderr);
    return nullptr;
}

}  // namespace qv
