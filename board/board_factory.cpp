// Creation of the qv01_fm board over libusb-1.0. Kept apart from the protocol
// code so that programs and tests that bring their own UsbPort do not pull in
// the libusb binding.
#include "qv_board.h"
#include "usb_port_libusb1.h"

using namespace qv;

namespace {

// The process's board, kept by board_instance() and replaced by
// reopen_board_instance(); GUI thread only.
struct KeptBoard {
    bool tried = false;
    std::unique_ptr<QV_demo_board_> board;
    std::string error;  // of the last failed attempt

    void attempt() {
        tried = true;
        board.reset();  // a lost board's stream thread has ended: this returns at once
        BoardDescriptor wanted;
        wanted.vendor = kFx2Vendor;
        wanted.product = kFx2Product;
        board = create_board(wanted, &error);
    }
};

KeptBoard& kept() {
    static KeptBoard k;
    return k;
}

}  // namespace

std::unique_ptr<QV_demo_board_> create_board(const BoardDescriptor& wanted, std::string* error) {
    std::string open_error;
    std::unique_ptr<UsbPort> port = open_libusb1_port(wanted.vendor, wanted.product, &open_error);
    if (!port) {
        // Not found (no text), or found but not ours to open (the reason).
        if (error) *error = open_error;
        return nullptr;
    }
    return create_board_on(std::move(port), "../fw/proto.hex", kLibusb1Profile, error);
}

QV_demo_board_* board_instance() {
    KeptBoard& k = kept();
    if (!k.tried) k.attempt();
    return k.board.get();
}

QV_demo_board_* reopen_board_instance() {
    KeptBoard& k = kept();
    if (!k.board || k.board->device_lost()) k.attempt();
    return k.board.get();
}

const std::string& board_instance_error() { return kept().error; }
