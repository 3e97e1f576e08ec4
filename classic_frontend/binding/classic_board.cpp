#include "classic_board.h"

#include "usb_port_libusb0.h"

using namespace qv;

namespace {

// The classic program loads the firmware from its working directory.
constexpr const char* kClassicHexPath = "proto.hex";

// Third byte of command 1 at connect (qv01_fm sends 2 there).
constexpr uint8_t kClassicCmd1C = 0;

}  // namespace

std::unique_ptr<QV_demo_board_> create_classic_board(std::string* error) {
    std::string open_error;
    std::unique_ptr<UsbPort> port = open_libusb0_port(kFx2Vendor, kFx2Product, &open_error);
    if (!port) {
        // Not found (no text), or on the bus but not ours to open (the reason).
        if (error) *error = open_error;
        return nullptr;
    }
    return create_board_on(std::move(port), kClassicHexPath, kClassicProfile, error);
}

ClassicIds classic_connect(QV_demo_board_& board) {
    ClassicIds ids{};
    board.send_cmd2(10);
    ids.firmware_id = board.bridge_read(kSpaceBoard, kAddrFirmwareId);
    board.send_cmd1(0, 0, kClassicCmd1C, 13);
    board.select_chip(0);
    board.set_bus_timing(10);
    ids.device_id = board.read_reg(qv01::kRegDeviceId);
    return ids;
}
