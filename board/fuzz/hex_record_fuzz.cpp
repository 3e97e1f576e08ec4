// libFuzzer target for the Intel HEX reader: every line of the input goes
// through parse_hex_record, and the whole input, written to a file, through
// load_firmware against a port that records its traffic.
//
// Checks beyond "no crash, no leak, no UB":
// - parse_hex_record agrees with a plain reading of the record (':' count
//   address type data checksum, all hex digits, byte sum 0, a data record
//   within 64 KiB) on whether a line is good, and on every field of a good
//   one; a failure always comes with a reason;
// - load_firmware sends nothing unless it succeeds, says why exactly when it
//   fails, fails exactly when read_hex_file does, and on success sends the
//   reset, every chunk read_hex_file marked (ascending, 16 bytes, the image's
//   bytes), the release, the interface set-up and command 0, nothing else.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "firmware.h"
#include "protocol.h"
#include "usb_port.h"

namespace {

std::string g_path;

void check(bool ok) {
    if (!ok) std::abort();
}

struct Op {
    char kind;  // 'c' control, 'o' bulk out, 'i' bulk in, 'f' configuration, 'l' claim, 'a' alt
                // setting
    int value = 0;
    std::vector<uint8_t> data;
};

// Accepts every transfer and remembers it.
class RecordingPort : public qv::UsbPort {
  public:
    std::vector<Op> ops;

    int control_out(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                    const uint8_t* data, uint16_t length, unsigned) override {
        check(request_type == qv::kVendorRequestOut && request == qv::kFx2RequestFirmwareLoad &&
              index == 0);
        ops.push_back({'c', value, std::vector<uint8_t>(data, data + length)});
        return length;
    }
    int bulk_write(uint8_t endpoint, const uint8_t* data, int length, unsigned) override {
        ops.push_back({'o', endpoint, std::vector<uint8_t>(data, data + length)});
        return length;
    }
    int bulk_read(uint8_t endpoint, uint8_t*, int, unsigned, int* transferred) override {
        *transferred = 0;
        ops.push_back({'i', endpoint, {}});
        return -1;
    }
    int set_configuration(int configuration) override {
        ops.push_back({'f', configuration, {}});
        return 0;
    }
    int claim_interface(int interface_number) override {
        ops.push_back({'l', interface_number, {}});
        return 0;
    }
    int set_alt_setting(int interface_number, int alt_setting) override {
        ops.push_back({'a', interface_number * 256 + alt_setting, {}});
        return 0;
    }
    void close() override {}
};

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte at characters pos, pos+1 of `line`, or -1.
int hex_byte(const std::string& line, size_t pos) {
    if (pos + 1 >= line.size()) return -1;
    const int hi = hex_value(line[pos]), lo = hex_value(line[pos + 1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

// The record as a plain reading sees it: whether it is good and its fields.
bool plain_record(const std::string& line, HexRecord& rec) {
    if (line.empty() || line[0] != ':') return false;
    const int count = hex_byte(line, 1), a_hi = hex_byte(line, 3), a_lo = hex_byte(line, 5),
              type = hex_byte(line, 7);
    if (count < 0 || a_hi < 0 || a_lo < 0 || type < 0) return false;
    int sum = count + a_hi + a_lo + type;
    for (int k = 0; k < count; ++k) {
        const int b = hex_byte(line, 9 + 2 * static_cast<size_t>(k));
        if (b < 0) return false;
        rec.data[k] = static_cast<uint8_t>(b);
        sum += b;
    }
    const int checksum = hex_byte(line, 9 + 2 * static_cast<size_t>(count));
    if (checksum < 0 || ((sum + checksum) & 0xFF) != 0) return false;
    rec.count = count;
    rec.address = a_hi * 256 + a_lo;
    rec.type = type;
    return type != 0 || rec.address + count <= qv::kFirmwareBytes;
}

void check_line(const std::string& line) {
    HexRecord got, want;
    const char* reason = nullptr;
    const int rc = parse_hex_record(line.c_str(), got, &reason);
    check(rc == 0 || rc == -1 || rc == -3);
    check((rc == 0) == (reason == nullptr));
    check((rc == -3) == (line.empty() || line[0] != ':'));
    check((rc == 0) == plain_record(line, want));
    if (rc != 0) return;
    check(got.count == want.count && got.address == want.address && got.type == want.type);
    check(std::memcmp(got.data, want.data, static_cast<size_t>(got.count)) == 0);
}

void check_file() {
    auto image = std::make_unique<FirmwareImage>();
    const int read_rc = read_hex_file(g_path.c_str(), *image);

    RecordingPort port;
    std::string error;
    const int rc = load_firmware(g_path.c_str(), port, &error);
    check(rc == read_rc);
    check((rc == 0) == error.empty());
    if (rc != 0) {
        check(port.ops.empty());
        return;
    }
    const std::vector<Op>& ops = port.ops;
    size_t i = 0;
    check(ops.size() >= 6);
    check(ops[i].kind == 'c' && ops[i].value == qv::kFx2Cpucs &&
          ops[i].data == std::vector<uint8_t>{1});
    ++i;
    for (int chunk = 0; chunk < qv::kFirmwareChunks; ++chunk) {
        if (!image->present[chunk]) continue;
        check(i < ops.size() && ops[i].kind == 'c' &&
              ops[i].value == chunk * qv::kFirmwareChunkBytes);
        const uint8_t* want = &image->data[chunk * qv::kFirmwareChunkBytes];
        check(ops[i].data == std::vector<uint8_t>(want, want + qv::kFirmwareChunkBytes));
        ++i;
    }
    check(ops.size() == i + 5);
    check(ops[i].kind == 'c' && ops[i].value == qv::kFx2Cpucs &&
          ops[i].data == std::vector<uint8_t>{0});
    check(ops[i + 1].kind == 'f' && ops[i + 1].value == qv::kUsbConfiguration);
    check(ops[i + 2].kind == 'l' && ops[i + 2].value == qv::kUsbInterface);
    check(ops[i + 3].kind == 'a' &&
          ops[i + 3].value == qv::kUsbInterface * 256 + qv::kUsbAltSetting);
    check(ops[i + 4].kind == 'o' && ops[i + 4].value == qv::kEpCommandOut &&
          ops[i + 4].data == std::vector<uint8_t>(qv::kLenFirmwareDone, 0));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/qv_hex_fuzz_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    g_path = std::string(tmpl) + "/in.hex";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Lines as the parser gets them: up to a line feed, cut at a NUL.
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(start, end - start);
        check_line(line.substr(0, std::strlen(line.c_str())));
        start = end;
    }

    std::FILE* f = std::fopen(g_path.c_str(), "wb");
    if (f == nullptr) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    check_file();
    return 0;
}
