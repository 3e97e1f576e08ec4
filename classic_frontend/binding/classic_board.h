// The classic program's board: found on the USB busses through the libusb-0.1
// interface, built on the shared board link with the classic link profile
// (error numbers -19 and -123456, 1024-byte stream reads, no chip register
// shadow, a stream read that ends in an error or timeout adds nothing).
//
// Threads: GUI thread only. The board's stream thread runs from creation until
// the board is destroyed; destroying it (unique_ptr reset) stops that thread and
// waits for its last read before the ring and the device handle go away, so a
// disconnect may take up to one stream read timeout (300 ms).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "qv_board.h"

// Opens the first FX2 (0x04B4/0x8613) on the USB busses, loads "proto.hex" from the working
// directory and builds the board with the classic link profile. No board (nullptr) when no
// device matches ("not found\n", "Bye!\n" on stderr; `*error` left empty), when the device
// may not be opened (`*error` gets "No permission to open the USB device 04b4:8613 (bus B
// device D): install the udev rule (see README) and plug the board in again") or the firmware
// could not be loaded: missing or unreadable file, not a valid Intel HEX image (nothing is
// sent to the board then), failed download. `*error`, when given, then gets one or two
// sentences for a message box with the file's absolute path and the working directory or
// the line and the reason (as create_board_on).
//
// The board is lost (device_lost()) once the device goes away; its commands then return
// kErrDeviceLost (-19) and send nothing. Destroy it and create a new one when the device is
// back: the bus is walked anew on every call.
std::unique_ptr<QV_demo_board_> create_classic_board(std::string* error = nullptr);

// The classic program's connect sequence: send_cmd2(10); fw id = bridge_read(2, 0);
// send_cmd1(0, 0, 0, 13); select_chip(0); set_bus_timing(10); dev id = read_reg(1).
// Every step is sent as long as the board is not lost; an id whose read failed holds the
// negative error number.
struct ClassicIds {
    int32_t firmware_id;
    int32_t device_id;
};
ClassicIds classic_connect(QV_demo_board_& board);
