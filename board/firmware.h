// Intel HEX reader and FX2 firmware download.
#pragma once

#include <cstdint>
#include <string>

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
// `rec` holds whatever fields were read, also on failure. `*reason`, when
// given, gets a short lower-case text of what is wrong (nullptr on success).
[[nodiscard]] int parse_hex_record(const char* line, HexRecord& rec, const char** reason = nullptr);

// Reads and checks the whole Intel HEX file at `path` into `image`, with no
// USB traffic. Reading stops at the first record that is malformed (prints
// "err: <parse result>, 0" to stdout) or not a data record (prints
// "err: 0, <type>", so a normal file ends with "err: 0, 1"). Lines longer
// than 255 characters count as malformed.
// The image is good when the file ended with a proper end record (type 1, or
// the address and start records 2-5, which are not interpreted and end the
// load as well) after at least one data record. Returns 0 for a good image;
// otherwise, with a sentence for the user in `*error` (when given) and on
// stderr naming the file by its absolute path:
//   the negated errno when the file cannot be opened or read (stderr also gets
//   "Hex file could not be opened"; the sentence names the working directory);
//   qv::kErrBadImage for an empty file, a malformed or over-long line, a data
//   record past 0xFFFF, an unknown record type, no data records or no end
//   record (the sentence names the line and the reason).
int read_hex_file(const char* path, FirmwareImage& image, std::string* error = nullptr);

// Downloads the Intel HEX file at `path` into the FX2 behind `port`. The file
// is read and checked whole first (read_hex_file): a file that cannot be
// opened or is not a good image returns that error with no USB traffic at all.
// A good image is downloaded: the CPU is held in reset, every 16-byte chunk
// that carries data is written in ascending address order, the CPU released,
// configuration 1, interface 0, alternate setting 1 selected and command 0
// sent. A download transfer that fails ends the download there with its
// error (and a sentence in `*error`); the results of the configuration
// steps and of command 0 are not checked. Returns 0 on success.
int load_firmware(const char* path, qv::UsbPort& port, std::string* error = nullptr);

// `path` made absolute against the working directory, with "." and ".."
// segments resolved by name (the file need not exist).
std::string absolute_path(const char* path);
