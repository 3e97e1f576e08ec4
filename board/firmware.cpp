#include "firmware.h"

#include <cstdio>
#include <cstring>
#include <memory>

using namespace qv;

namespace {

// Value of one hex digit, or -1 for any other character.
int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Value of the `digits` hex digits at line[pos], or -1 when the line ends
// there or a character is not a hex digit. Stops at the terminating NUL.
int hex_field(const char* line, size_t len, size_t pos, int digits) {
    int value = 0;
    for (int i = 0; i < digits; ++i) {
        if (pos + i >= len) return -1;
        int d = hex_digit(line[pos + i]);
        if (d < 0) return -1;
        value = (value << 4) | d;
    }
    return value;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

void FirmwareImage::clear() {
    std::memset(data, 0, sizeof data);
    std::memset(present, 0, sizeof present);
}

void FirmwareImage::store(const HexRecord& rec) {
    for (int k = 0; k < rec.count; ++k) {
        int addr = rec.address + k;
        if (addr < 0 || addr >= kFirmwareBytes) return;
        data[addr] = rec.data[k];
        present[addr / kFirmwareChunkBytes] = true;
    }
}

int parse_hex_record(const char* line, HexRecord& rec) {
    if (line == nullptr || line[0] != ':') return -3;
    const size_t len = std::strlen(line);

    rec.count = hex_field(line, len, 1, 2);
    rec.address = hex_field(line, len, 3, 4);
    rec.type = hex_field(line, len, 7, 2);
    if (rec.count < 0 || rec.address < 0 || rec.type < 0) return -1;

    int sum = rec.count + (rec.address >> 8) + (rec.address & 0xFF) + rec.type;
    for (int k = 0; k < rec.count; ++k) {
        int byte = hex_field(line, len, 9 + 2 * static_cast<size_t>(k), 2);
        if (byte < 0) {
            // The line ends or is garbled inside the data.
            rec.data[k] = 0xFF;
            return -1;
        }
        rec.data[k] = static_cast<uint8_t>(byte);
        sum += byte;
    }
    int checksum = hex_field(line, len, 9 + 2 * static_cast<size_t>(rec.count), 2);
    if (checksum < 0) return -1;
    if (((sum + checksum) & 0xFF) != 0) return -1;

    // A data record must fit the FX2's 64 KiB address space.
    if (rec.type == 0 && rec.address + rec.count > kFirmwareBytes) return -1;
    return 0;
}

int load_firmware(const char* path, UsbPort& port) {
    auto image = std::make_unique<FirmwareImage>();

    std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "r"));
    if (!file) {
        std::fprintf(stderr, "Hex file could not be opened\n");
        return kErrNoFile;
    }

    const uint8_t reset = kCpucsReset;
    port.control_out(kVendorRequestOut, kFx2RequestFirmwareLoad, kFx2Cpucs, 0, &reset, 1,
                     kTimeoutMs);

    char line[kHexLineMax + 1];
    HexRecord rec;
    while (std::fgets(line, sizeof line, file.get()) != nullptr) {
        int result;
        const size_t n = std::strlen(line);
        if (n == kHexLineMax && line[n - 1] != '\n') {
            // The buffer is full without a line end: over-long, unless the
            // file ends right here.
            int next = std::fgetc(file.get());
            if (next != EOF) {
                std::printf("err: %d, %d\n", -1, 0);
                break;
            }
        }
        result = parse_hex_record(line, rec);
        if (result != 0) {
            std::printf("err: %d, %d\n", result, 0);
            break;
        }
        if (rec.type != 0) {
            std::printf("err: %d, %d\n", 0, rec.type);
            break;
        }
        image->store(rec);
    }
    file.reset();

    for (int i = 0; i < kFirmwareChunks; ++i) {
        if (!image->present[i]) continue;
        port.control_out(kVendorRequestOut, kFx2RequestFirmwareLoad,
                         static_cast<uint16_t>(i * kFirmwareChunkBytes), 0,
                         &image->data[i * kFirmwareChunkBytes], kFirmwareChunkBytes, kTimeoutMs);
    }

    const uint8_t run = kCpucsRun;
    port.control_out(kVendorRequestOut, kFx2RequestFirmwareLoad, kFx2Cpucs, 0, &run, 1, kTimeoutMs);

    port.set_configuration(kUsbConfiguration);
    port.claim_interface(kUsbInterface);
    port.set_alt_setting(kUsbInterface, kUsbAltSetting);

    const uint8_t done[kLenFirmwareDone] = {kCmdFirmwareDone, 0, 0, 0};
    port.bulk_write(kEpCommandOut, done, kLenFirmwareDone, kTimeoutMs);
    return 0;
}
