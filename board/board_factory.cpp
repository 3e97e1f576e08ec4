// Creation of the qv01_fm board over libusb-1.0. Kept apart from the protocol
// code so that programs and tests that bring their own UsbPort do not pull in
// the libusb binding.
#include "qv_board.h"
#include "usb_port_libusb1.h"

using namespace qv;

std::unique_ptr<QV_demo_board_> create_board(const BoardDescriptor& wanted) {
    return create_board_on(open_libusb1_port(wanted.vendor, wanted.product), "../fw/proto.hex",
                           kLibusb1Profile);
}

QV_demo_board_* board_instance() {
    // Initialised once, on the first call; a failed attempt is kept as "no board".
    static const std::unique_ptr<QV_demo_board_> board = [] {
        BoardDescriptor wanted;
        wanted.vendor = kFx2Vendor;
        wanted.product = kFx2Product;
        return create_board(wanted);
    }();
    return board.get();
}
