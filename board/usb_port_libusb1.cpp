// The only file of the project that talks to libusb-1.0.
#include "usb_port_libusb1.h"

#include <libusb.h>

#include <cerrno>
#include <cstdio>

namespace qv {
namespace {

// libusb error codes as negative errno values, the board link's convention.
int to_errno(int rc) {
    if (rc >= 0) return rc;
    switch (rc) {
        case LIBUSB_ERROR_IO:
            return -EIO;
        case LIBUSB_ERROR_INVALID_PARAM:
            return -EINVAL;
        case LIBUSB_ERROR_ACCESS:
            return -EACCES;
        case LIBUSB_ERROR_NO_DEVICE:
            return -ENODEV;
        case LIBUSB_ERROR_NOT_FOUND:
            return -ENOENT;
        case LIBUSB_ERROR_BUSY:
            return -EBUSY;
        case LIBUSB_ERROR_TIMEOUT:
            return -ETIMEDOUT;
        case LIBUSB_ERROR_OVERFLOW:
            return -EOVERFLOW;
        case LIBUSB_ERROR_PIPE:
            return -EPIPE;
        case LIBUSB_ERROR_INTERRUPTED:
            return -EINTR;
        case LIBUSB_ERROR_NO_MEM:
            return -ENOMEM;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return -ENOSYS;
        default:
            return -EIO;
    }
}

class Libusb1Port final : public UsbPort {
  public:
    explicit Libusb1Port(libusb_device_handle* handle) : handle_(handle) {}
    ~Libusb1Port() override { close(); }

    int control_out(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                    const uint8_t* data, uint16_t length, unsigned timeout_ms) override {
        if (!handle_) return -ENODEV;
        // libusb takes a non-const buffer for both directions; OUT does not write it.
        return to_errno(libusb_control_transfer(handle_, request_type, request, value, index,
                                                const_cast<uint8_t*>(data), length, timeout_ms));
    }

    int bulk_write(uint8_t endpoint, const uint8_t* data, int length,
                   unsigned timeout_ms) override {
        if (!handle_) return -ENODEV;
        int moved = 0;
        const int rc = libusb_bulk_transfer(handle_, endpoint, const_cast<uint8_t*>(data), length,
                                            &moved, timeout_ms);
        return rc == 0 ? moved : to_errno(rc);
    }

    int bulk_read(uint8_t endpoint, uint8_t* data, int length, unsigned timeout_ms,
                  int* transferred) override {
        *transferred = 0;
        if (!handle_) return -ENODEV;
        // libusb reports the bytes that arrived before a timeout in `transferred`.
        return to_errno(
            libusb_bulk_transfer(handle_, endpoint, data, length, transferred, timeout_ms));
    }

    int set_configuration(int configuration) override {
        if (!handle_) return -ENODEV;
        return to_errno(libusb_set_configuration(handle_, configuration));
    }

    int claim_interface(int interface_number) override {
        if (!handle_) return -ENODEV;
        return to_errno(libusb_claim_interface(handle_, interface_number));
    }

    int set_alt_setting(int interface_number, int alt_setting) override {
        if (!handle_) return -ENODEV;
        return to_errno(libusb_set_interface_alt_setting(handle_, interface_number, alt_setting));
    }

    void close() override {
        if (handle_) libusb_close(handle_);
        handle_ = nullptr;
    }

  private:
    libusb_device_handle* handle_;
};

}  // namespace

std::unique_ptr<UsbPort> open_libusb1_port(int vendor, int product, std::string* error) {
    if (error) error->clear();
    // The default context lives for the rest of the process.
    if (libusb_init(nullptr) != 0) return nullptr;
    // Walked by hand rather than with libusb_open_device_with_vid_pid, which
    // answers null alike for "not there" and "there but not ours to open".
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &list);
    if (count < 0) return nullptr;
    libusb_device_handle* handle = nullptr;
    int refused = 0;  // libusb's code for the first match that would not open
    int bus = 0, address = 0;
    for (ssize_t i = 0; i < count && !handle; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != vendor ||
            d.idProduct != product)
            continue;
        libusb_device_handle* opened = nullptr;
        const int rc = libusb_open(list[i], &opened);
        if (rc == 0) {
            handle = opened;
        } else if (refused == 0) {
            refused = rc;
            bus = libusb_get_bus_number(list[i]);
            address = libusb_get_device_address(list[i]);
        }
    }
    libusb_free_device_list(list, 1);
    if (handle) return std::make_unique<Libusb1Port>(handle);
    // A device that went away between the list and the open was not found.
    if (error && refused == LIBUSB_ERROR_ACCESS)
        *error = no_permission_message(vendor, product, bus, address);
    else if (error && refused != 0 && refused != LIBUSB_ERROR_NO_DEVICE) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "The USB device %04x:%04x (bus %d device %d) could not be opened: %s", vendor,
                      product, bus, address, libusb_strerror(refused));
        *error = text;
    }
    return nullptr;
}

int list_libusb1_devices(int vendor, int product, std::vector<UsbLocation>* found) {
    found->clear();
    if (int rc = libusb_init(nullptr); rc != 0) return to_errno(rc);
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &list);
    if (count < 0) return to_errno(static_cast<int>(count));
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == vendor &&
            d.idProduct == product)
            found->push_back({libusb_get_bus_number(list[i]), libusb_get_device_address(list[i])});
    }
    libusb_free_device_list(list, 1);
    return 0;
}

int open_libusb1_port_at(int vendor, int product, UsbLocation where,
                         std::unique_ptr<UsbPort>* port) {
    port->reset();
    if (int rc = libusb_init(nullptr); rc != 0) return to_errno(rc);
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &list);
    if (count < 0) return to_errno(static_cast<int>(count));
    int rc = -ENODEV;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != vendor ||
            d.idProduct != product || libusb_get_bus_number(list[i]) != where.bus ||
            libusb_get_device_address(list[i]) != where.address)
            continue;
        libusb_device_handle* handle = nullptr;
        rc = to_errno(libusb_open(list[i], &handle));
        if (rc == 0) *port = std::make_unique<Libusb1Port>(handle);
        break;
    }
    libusb_free_device_list(list, 1);
    return rc;
}

}  // namespace qv
