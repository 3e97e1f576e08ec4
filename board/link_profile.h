// What differs between the two USB bindings of the board link. The protocol,
// ring and thread code is shared; a board is built with one profile.
#pragma once

#include "protocol.h"

namespace qv {

struct LinkProfile {
    int err_invalid;              // invalid argument, short stream queue
    int err_not_implemented;      // reserved virtual slots
    int stream_read_bytes;        // bytes asked of endpoint 0x88 per read
    bool keep_chip_shadow;        // write_reg records the value for shadow_reg/decimation
    bool announce_stream_thread;  // stream thread prints "thread created\n" at start
    // true: a stream read that ends in a timeout still adds the bytes it moved;
    // false: only a read that completes without error adds bytes.
    bool count_bytes_of_failed_read;
    // get_board_descriptor fills vendor/product from the device descriptor.
    bool descriptor_ids_from_device;
};

// qv01_fm over libusb-1.0.
constexpr LinkProfile kLibusb1Profile{kErrInvalid, kErrNotImplemented, 2048, true, true, true,
                                      false};

// tunerdesk over the libusb-0.1 interface.
constexpr LinkProfile kClassicProfile{
    kErrClassicInvalid, kErrClassicNotImplemented, 1024, false, false, false, true};

}  // namespace qv
