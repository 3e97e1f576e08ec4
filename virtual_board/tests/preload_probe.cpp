// A small program linked against the real libusb-1.0 that brings the board up
// and reads it: run under qv-virtual-board it must reach the virtual board.
// Prints "fw XXXXXXXX chip XXXX frame0 N frame1 I Q" and exits 0, or exits 1.
#include <libusb.h>

#include <cstdio>

namespace {

int bulk(libusb_device_handle* h, unsigned char ep, unsigned char* data, int length) {
    int n = 0;
    const int rc = libusb_bulk_transfer(h, ep, data, length, &n, 300);
    return rc == 0 ? n : rc;
}

}  // namespace

int main() {
    if (libusb_init(nullptr) != 0) return 1;
    libusb_device_handle* h = libusb_open_device_with_vid_pid(nullptr, 0x04B4, 0x8613);
    if (!h) {
        std::fprintf(stderr, "no board\n");
        return 1;
    }
    unsigned char hold = 1, run = 0;
    unsigned char code[3] = {0x02, 0x00, 0x80};
    libusb_control_transfer(h, 0x40, 0xA0, 0xE600, 0, &hold, 1, 300);
    libusb_control_transfer(h, 0x40, 0xA0, 0x0000, 0, code, 3, 300);
    libusb_control_transfer(h, 0x40, 0xA0, 0xE600, 0, &run, 1, 300);
    libusb_set_configuration(h, 1);
    libusb_claim_interface(h, 0);
    libusb_set_interface_alt_setting(h, 0, 1);
    unsigned char done[4] = {0, 0, 0, 0};
    if (bulk(h, 0x01, done, 4) != 4) return 1;

    unsigned char req[16] = {5, 2, 0};
    unsigned char reply[16] = {};
    if (bulk(h, 0x01, req, 16) != 16 || bulk(h, 0x81, reply, 16) != 16) return 1;
    const unsigned fw = reply[0] | reply[1] << 8 | reply[2] << 16 | unsigned(reply[3]) << 24;

    unsigned char addr[7] = {4, 0, 0, 1, 0, 0, 0};
    unsigned char rd[16] = {5, 0, 1};
    if (bulk(h, 0x01, addr, 7) != 7 || bulk(h, 0x01, rd, 16) != 16 ||
        bulk(h, 0x81, reply, 16) != 16)
        return 1;
    const unsigned chip = reply[0] | reply[1] << 8;

    // Decimation 320 on channel 0, receiver on, stream on; take the first frame.
    const unsigned short regs[][2] = {
        {0x24, 0x1300}, {0x25, 0x0300}, {0x26, 1}, {0x28, 1}, {5, 0x8001}};
    for (const auto& r : regs) {
        unsigned char a[7] = {4, 0, 0, (unsigned char)r[0], (unsigned char)(r[0] >> 8), 0, 0};
        unsigned char d[7] = {4, 0, 1, (unsigned char)r[1], (unsigned char)(r[1] >> 8), 0, 0};
        if (bulk(h, 0x01, a, 7) != 7 || bulk(h, 0x01, d, 7) != 7) return 1;
    }
    unsigned char stream[4] = {13, 0, 1, 0};
    if (bulk(h, 0x01, stream, 4) != 4) return 1;
    unsigned char frame[8] = {};
    for (int got = 0; got < 8;) {
        const int n = bulk(h, 0x88, frame + got, 8 - got);
        if (n <= 0) return 1;
        got += n;
    }
    const unsigned frame0 = frame[0] | frame[1] << 8 | frame[2] << 16 | unsigned(frame[3]) << 24;
    const short i1 = short(frame[4] | frame[5] << 8), q1 = short(frame[6] | frame[7] << 8);

    std::printf("fw %08X chip %04X frame0 %u frame1 %d %d\n", fw, chip, frame0, i1, q1);
    libusb_close(h);
    libusb_exit(nullptr);
    return 0;
}
