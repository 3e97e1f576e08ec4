#include "firmware.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

using namespace qv;

namespace {

constexpr int kFieldEnds = -1;  // the line ends inside the field
constexpr int kFieldBad = -2;   // a character that is not a hex digit

// Value of one hex digit, or -1 for any other character.
int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Value of the `digits` hex digits at line[pos], kFieldEnds when the line ends
// there, kFieldBad when a character is not a hex digit.
int hex_field(const char* line, size_t len, size_t pos, int digits) {
    int value = 0;
    for (int i = 0; i < digits; ++i) {
        if (pos + i >= len) return kFieldEnds;
        int d = hex_digit(line[pos + i]);
        if (d < 0) return kFieldBad;
        value = (value << 4) | d;
    }
    return value;
}

const char* field_problem(int field) {
    return field == kFieldEnds ? "the line ends before the checksum"
                               : "a character that is not a hex digit";
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

std::string working_directory() {
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) : std::string("(unknown)");
}

// Writes `sentence` to stderr and, when asked for, to `*error`.
void report(std::string* error, const std::string& sentence) {
    std::fprintf(stderr, "%s\n", sentence.c_str());
    if (error) *error = sentence;
}

std::string bad_image(const std::string& file, const std::string& problem) {
    return "The firmware file \"" + file + "\" is not a valid Intel HEX image: " + problem + ".";
}

}  // namespace

std::string absolute_path(const char* path) {
    std::string joined = path ? path : "";
    if (joined.empty() || joined[0] != '/') joined = working_directory() + "/" + joined;
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= joined.size()) {
        size_t slash = joined.find('/', pos);
        if (slash == std::string::npos) slash = joined.size();
        const std::string part = joined.substr(pos, slash - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = slash + 1;
    }
    std::string out;
    for (const std::string& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

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

int parse_hex_record(const char* line, HexRecord& rec, const char** reason) {
    const char* why = nullptr;
    if (!reason) reason = &why;
    *reason = nullptr;
    if (line == nullptr || line[0] != ':') {
        *reason = "the line does not start with ':'";
        return -3;
    }
    const size_t len = std::strlen(line);

    rec.count = hex_field(line, len, 1, 2);
    rec.address = hex_field(line, len, 3, 4);
    rec.type = hex_field(line, len, 7, 2);
    for (int field : {rec.count, rec.address, rec.type}) {
        if (field < 0) {
            *reason = field_problem(field);
            return -1;
        }
    }

    int sum = rec.count + (rec.address >> 8) + (rec.address & 0xFF) + rec.type;
    for (int k = 0; k < rec.count; ++k) {
        int byte = hex_field(line, len, 9 + 2 * static_cast<size_t>(k), 2);
        if (byte < 0) {
            // The line ends or is garbled inside the data.
            rec.data[k] = 0xFF;
            *reason = field_problem(byte);
            return -1;
        }
        rec.data[k] = static_cast<uint8_t>(byte);
        sum += byte;
    }
    int checksum = hex_field(line, len, 9 + 2 * static_cast<size_t>(rec.count), 2);
    if (checksum < 0) {
        *reason = field_problem(checksum);
        return -1;
    }
    if (((sum + checksum) & 0xFF) != 0) {
        *reason = "checksum mismatch";
        return -1;
    }

    // A data record must fit the FX2's 64 KiB address space.
    if (rec.type == 0 && rec.address + rec.count > kFirmwareBytes) {
        *reason = "the data record reaches past address 0xFFFF";
        return -1;
    }
    return 0;
}

int read_hex_file(const char* path, FirmwareImage& image, std::string* error) {
    image.clear();
    const std::string file = absolute_path(path);

    std::unique_ptr<FILE, FileCloser> in(std::fopen(path, "r"));
    if (!in) {
        const int err = errno;
        std::fprintf(stderr, "Hex file could not be opened\n");
        report(error, "The firmware file \"" + file +
                          "\" could not be opened: " + std::strerror(err) +
                          " (working directory: " + working_directory() + ").");
        return -err;
    }

    char line[kHexLineMax + 1];
    HexRecord rec;
    int line_no = 0;
    int data_records = 0;
    bool ended = false;
    std::string problem;
    while (std::fgets(line, sizeof line, in.get()) != nullptr) {
        ++line_no;
        const size_t n = std::strlen(line);
        if (n == kHexLineMax && line[n - 1] != '\n') {
            // The buffer is full without a line end: over-long, unless the
            // file ends right here.
            int next = std::fgetc(in.get());
            if (next != EOF) {
                std::printf("err: %d, %d\n", -1, 0);
                problem = "line " + std::to_string(line_no) + ": longer than " +
                          std::to_string(kHexLineMax) + " characters";
                break;
            }
        }
        const char* reason = nullptr;
        const int result = parse_hex_record(line, rec, &reason);
        if (result != 0) {
            std::printf("err: %d, %d\n", result, 0);
            problem = "line " + std::to_string(line_no) + ": " + reason;
            break;
        }
        if (rec.type != 0) {
            std::printf("err: %d, %d\n", 0, rec.type);
            // End of file (1) and the address and start records (2-5) end the
            // load; anything else is no Intel HEX record.
            if (rec.type > 5) {
                char text[64];
                std::snprintf(text, sizeof text, "line %d: unknown record type %02X", line_no,
                              rec.type);
                problem = text;
            }
            ended = true;
            break;
        }
        image.store(rec);
        ++data_records;
    }
    if (problem.empty() && std::ferror(in.get())) {
        const int err = errno;
        std::fprintf(stderr, "Hex file could not be opened\n");
        report(error, "The firmware file \"" + file +
                          "\" could not be read: " + std::strerror(err) +
                          " (working directory: " + working_directory() + ").");
        return err > 0 ? -err : -EIO;
    }
    if (problem.empty()) {
        if (line_no == 0) {
            problem = "the file is empty";
        } else if (!ended) {
            problem =
                "no end-of-file record (the file ends after line " + std::to_string(line_no) + ")";
        } else if (data_records == 0) {
            problem = "no data record before the end record on line " + std::to_string(line_no);
        }
    }
    if (!problem.empty()) {
        report(error, bad_image(file, problem));
        return kErrBadImage;
    }
    return 0;
}

int load_firmware(const char* path, UsbPort& port, std::string* error) {
    auto image = std::make_unique<FirmwareImage>();
    if (int rc = read_hex_file(path, *image, error)) return rc;

    auto download_failed = [&](int rc) {
        report(error, "The firmware could not be downloaded to the board from \"" +
                          absolute_path(path) + "\": " + std::strerror(-rc) + ".");
        return rc;
    };
    auto write_memory = [&](uint16_t address, const uint8_t* bytes, uint16_t length) {
        const int rc = port.control_out(kVendorRequestOut, kFx2RequestFirmwareLoad, address, 0,
                                        bytes, length, kTimeoutMs);
        return rc == length ? 0 : (rc < 0 ? rc : -EIO);
    };

    const uint8_t reset = kCpucsReset;
    if (int rc = write_memory(kFx2Cpucs, &reset, 1)) return download_failed(rc);

    for (int i = 0; i < kFirmwareChunks; ++i) {
        if (!image->present[i]) continue;
        if (int rc = write_memory(static_cast<uint16_t>(i * kFirmwareChunkBytes),
                                  &image->data[i * kFirmwareChunkBytes], kFirmwareChunkBytes))
            return download_failed(rc);
    }

    const uint8_t run = kCpucsRun;
    if (int rc = write_memory(kFx2Cpucs, &run, 1)) return download_failed(rc);

    port.set_configuration(kUsbConfiguration);
    port.claim_interface(kUsbInterface);
    port.set_alt_setting(kUsbInterface, kUsbAltSetting);

    const uint8_t done[kLenFirmwareDone] = {kCmdFirmwareDone, 0, 0, 0};
    port.bulk_write(kEpCommandOut, done, kLenFirmwareDone, kTimeoutMs);
    return 0;
}
