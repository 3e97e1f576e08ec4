// Intel HEX reader and FX2 firmware download.
#pragma once

#include <cstdint>

#include "protocol.h"
#include "usb_port.h"

// One parsed line of an Intel HEX file.
struct HexRecord {
    int type = 0;     // 0 data, 1 end of file, others not interpreted
    int address = 0;  // load address, 0..0xFFFF
    int count = 0;    // data bytes, 0..255
    uint8_t data[255] = {};
};

// FX2 memory image built from the data records, with a "present" flag per
// 16-byte chunk (chunk i covers addresses 16*i .. 16*i+15).
struct FirmwareImage {
    uint8_t data[qv::kFirmwareBytes] = {};
    bool present[qv::kFirmwareChunks] = {};

    void clear();
    // Stores the bytes of a data record and marks their chunks. The record must
    // lie within 0x0000..0xFFFF (parse_hex_record guarantees it for data records).
    void store(const HexRecord& rec);
};

// Parses one NUL-terminated HEX line (trailing line end allowed).
// Returns 0 for a well-formed record with a correct checksum;
// -3 when the line does not start with ':';
// -1 for a checksum mismatch, a line that ends before the checksum, a
// character that is not a hex digit inside the record, or a data record that
// reaches past address 0xFFFF.
// `rec` holds whatever fields were read, also on failure.
[[nodiscard]] int parse_hex_record(const char* line, HexRecord& rec);

// Downloads the Intel HEX file at `path` into the FX2 behind `port`: holds the
// CPU in reset, writes every 16-byte chunk that carries data in ascending
// address order, releases the CPU, selects configuration 1, interface 0,
// alternate setting 1 and sends command 0. Reading stops at the first record
// that is malformed (prints "err: <parse result>, 0") or not a data record
// (prints "err: 0, <type>", so a normal file ends with "err: 0, 1"); what was
// read until then is downloaded all the same. Lines longer than 255
// characters count as malformed. Transfer results are not checked.
// Returns 0, or -2 with "Hex file could not be opened" on stderr and no USB
// traffic when the file cannot be opened.
int load_firmware(const char* path, qv::UsbPort& port);
