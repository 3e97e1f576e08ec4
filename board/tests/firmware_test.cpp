#include "firmware.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "fake_usb_port.h"
#include "qv_board.h"

using namespace qv;

namespace {

// A HEX data record line with a correct checksum.
std::string data_record(int address, const std::vector<uint8_t>& bytes, int type = 0) {
    char buf[16];
    int sum = static_cast<int>(bytes.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(bytes.size()), address,
                  type);
    std::string line = buf;
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X\n", (-sum) & 0xFF);
    return line + buf;
}

const char* kEof = ":00000001FF\n";

std::vector<uint8_t> iota_bytes(int n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (int i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

}  // namespace

TEST(HexRecord, ParsesDataRecordInEitherCase) {
    HexRecord upper, lower;
    ASSERT_EQ(parse_hex_record(":0300300002337A1E\n", upper), 0);
    ASSERT_EQ(parse_hex_record(":0300300002337a1e", lower), 0);
    for (const HexRecord* r : {&upper, &lower}) {
        EXPECT_EQ(r->count, 3);
        EXPECT_EQ(r->address, 0x0030);
        EXPECT_EQ(r->type, 0);
        EXPECT_EQ(r->data[0], 0x02);
        EXPECT_EQ(r->data[1], 0x33);
        EXPECT_EQ(r->data[2], 0x7A);
    }
    HexRecord eof;
    ASSERT_EQ(parse_hex_record(kEof, eof), 0);
    EXPECT_EQ(eof.type, 1);
    EXPECT_EQ(eof.count, 0);
}

TEST(HexRecord, RejectsMalformedLines) {
    HexRecord r;
    EXPECT_EQ(parse_hex_record("0300300002337A1E\n", r), -3);  // no ':'
    EXPECT_EQ(parse_hex_record("", r), -3);
    EXPECT_EQ(parse_hex_record(":0300300002337A1F\n", r), -1);  // checksum off by one
    EXPECT_EQ(parse_hex_record(":03003", r), -1);               // ends inside the address
    EXPECT_EQ(parse_hex_record(":0300300002", r), -1);          // ends inside the data
    EXPECT_EQ(parse_hex_record(":0300300002337A\n", r), -1);    // no checksum
    EXPECT_EQ(parse_hex_record(":03003000023G7A1E\n", r), -1);  // not a hex digit
    EXPECT_EQ(parse_hex_record(":03003000 2337A1E\n", r), -1);
}

TEST(HexRecord, DataRecordMustStayBelow64K) {
    HexRecord r;
    const std::string last = data_record(0xFFF0, iota_bytes(16, 0));
    EXPECT_EQ(parse_hex_record(last.c_str(), r), 0);  // ends exactly at 0xFFFF
    const std::string past = data_record(0xFFF8, iota_bytes(16, 0));
    EXPECT_EQ(parse_hex_record(past.c_str(), r), -1);
}

class LoadFirmware : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "qv_board_fw_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".hex";
    }
    void TearDown() override { std::remove(path_.c_str()); }

    // Writes `text` as the HEX file, loads it and returns what went to stdout.
    std::string load(const std::string& text, int* result = nullptr) {
        std::ofstream(path_) << text;
        FakeUsbPort port(state_);
        ::testing::internal::CaptureStdout();
        const int rc = load_firmware(path_.c_str(), port);
        std::string out = ::testing::internal::GetCapturedStdout();
        if (result) *result = rc;
        return out;
    }

    // The download chunks sent between CPU reset and release: (address, bytes).
    std::vector<std::pair<int, std::vector<uint8_t>>> chunks() {
        std::vector<std::pair<int, std::vector<uint8_t>>> out;
        for (const UsbOp& op : state_->snapshot())
            if (op.kind == UsbOp::Control && op.value != kFx2Cpucs)
                out.push_back({op.value, op.data});
        return out;
    }

    std::string path_;
    std::shared_ptr<FakeUsbState> state_ = std::make_shared<FakeUsbState>();
};

TEST_F(LoadFirmware, SendsWholeChunksInAscendingOrder) {
    // Written out of order; 0x0008..0x0017 touches chunks 0 and 1.
    load(data_record(0x0100, {0xAA}) + data_record(0x0008, iota_bytes(16, 1)) + kEof);
    const auto sent = chunks();
    ASSERT_EQ(sent.size(), 3u);
    std::vector<uint8_t> chunk0(16, 0), chunk1(16, 0), chunk16(16, 0);
    for (int i = 0; i < 8; ++i) chunk0[8 + i] = static_cast<uint8_t>(1 + i);
    for (int i = 0; i < 8; ++i) chunk1[i] = static_cast<uint8_t>(9 + i);
    chunk16[0] = 0xAA;
    EXPECT_EQ(sent[0], std::make_pair(0x0000, chunk0));
    EXPECT_EQ(sent[1], std::make_pair(0x0010, chunk1));
    EXPECT_EQ(sent[2], std::make_pair(0x0100, chunk16));
    // Reset comes first, release after the last chunk.
    const std::vector<std::string> t = state_->trace();
    EXPECT_EQ(t.front(), "ctrl 40 a0 e600 0000 : 01 @300");
    EXPECT_EQ(t[4], "ctrl 40 a0 e600 0000 : 00 @300");
}

TEST_F(LoadFirmware, GoodImageTrafficAndProperEnds) {
    int rc = -99;
    EXPECT_EQ(load(data_record(0x0000, {0x11, 0x22}) + kEof, &rc), "err: 0, 1\n");
    EXPECT_EQ(rc, 0);
    const std::vector<std::string> expected = {
        "ctrl 40 a0 e600 0000 : 01 @300",  // CPU held in reset
        "ctrl 40 a0 0000 0000 : 11 22 00 00 00 00 00 00 00 00 00 00 00 00 00 00 @300",
        "ctrl 40 a0 e600 0000 : 00 @300",  // released
        "config 1",
        "claim 0",
        "altsetting 0 1",
        "out 01 : 00 00 00 00 @300",
    };
    EXPECT_EQ(state_->trace(), expected);

    // Address and start records are not interpreted: they end the load as
    // the end record does, and what follows them is not read.
    state_->clear_ops();
    const std::string later = data_record(0x0040, {0x33});
    EXPECT_EQ(load(data_record(0x0000, {0x11}) + ":020000040001F9\n" + later, &rc), "err: 0, 4\n");
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(chunks().size(), 1u);
    EXPECT_EQ(chunks()[0].first, 0);

    // 121 data bytes with a CR LF line end make 255 characters: the longest accepted.
    state_->clear_ops();
    std::string longest = data_record(0x0200, iota_bytes(121, 0));
    longest.insert(longest.size() - 1, "\r");
    ASSERT_EQ(longest.size(), 255u);
    EXPECT_EQ(load(longest + kEof, &rc), "err: 0, 1\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(chunks().size(), 8u);  // 0x200..0x278
}

// A file that cannot be used fails the board's creation before any USB
// traffic, with a message naming the file by its absolute path and saying
// where and what is wrong.
TEST(FirmwareFile, RefusedWithoutTouchingTheBoard) {
    const std::string good = data_record(0x0000, {0x11, 0x22});
    struct Case {
        const char* name;
        std::string text;  // the file's content; "<absent>": no file at all
        std::string out;   // what the reader prints on stdout
        std::vector<std::string> says;
    };
    const std::vector<Case> cases = {
        {"absent",
         "<absent>",
         "",
         {"could not be opened: No such file or directory", "(working directory: "}},
        {"empty", "", "", {"not a valid Intel HEX image: the file is empty."}},
        {"end record only",
         kEof,
         "err: 0, 1\n",
         {"no data record before the end record on line 1"}},
        {"bad checksum",
         good + good + ":0300300002337A1F\n" + kEof,
         "err: -1, 0\n",
         {"line 3: checksum mismatch"}},
        {"no colon",
         good + "0300300002337A1E\n" + kEof,
         "err: -3, 0\n",
         {"line 2: the line does not start with ':'"}},
        {"no end record", good + good, "", {"no end-of-file record (the file ends after line 2)"}},
        {"over-long line",
         good + data_record(0x0400, iota_bytes(122, 0)) + kEof,
         "err: -1, 0\n",
         {"line 2: longer than 255 characters"}},
        {"past 0xFFFF",
         good + data_record(0xFFF8, iota_bytes(16, 0)) + kEof,
         "err: -1, 0\n",
         {"line 2: the data record reaches past address 0xFFFF"}},
        {"unknown type", good + ":00000006FA\n", "err: 0, 6\n", {"line 2: unknown record type 06"}},
    };
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Relative to the working directory, as the programs name it.
        const std::string name =
            std::string("qv_board_fw_refused_") + std::to_string(getpid()) + ".hex";
        const std::string dir = ::testing::TempDir();
        const std::string rel = "./sub/../" + name;
        ASSERT_EQ(std::system(("mkdir -p " + dir + "sub").c_str()), 0);
        ASSERT_EQ(chdir(dir.c_str()), 0);
        std::remove(name.c_str());
        if (c.text != "<absent>") std::ofstream(name) << c.text;

        auto state = std::make_shared<FakeUsbState>();
        std::string error = "stale";
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        auto board = create_board_on(std::make_unique<FakeUsbPort>(state), rel.c_str(),
                                     kLibusb1Profile, &error);
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        std::remove(name.c_str());
        ASSERT_EQ(chdir(cwd), 0);

        EXPECT_EQ(board, nullptr);
        EXPECT_EQ(out, c.out);
        const std::string file = std::string(here) + "/" + name;
        EXPECT_NE(error.find("The firmware file \"" + file + "\""), std::string::npos) << error;
        for (const std::string& part : c.says)
            EXPECT_NE(error.find(part), std::string::npos) << error;
        if (c.text == "<absent>") {
            EXPECT_NE(error.find(std::string("(working directory: ") + here + ")."),
                      std::string::npos)
                << error;
            EXPECT_EQ(err, "Hex file could not be opened\n" + error + "\n");
        } else {
            EXPECT_EQ(err, error + "\n");
        }
        // No transfer of any kind: the port was only closed.
        const std::vector<std::string> closed = {"close"};
        EXPECT_EQ(state->trace(), closed);
    }
}

TEST(FirmwareFile, NoDeviceLeavesTheErrorEmpty) {
    std::string error = "stale";
    EXPECT_EQ(create_board_on(nullptr, "../fw/proto.hex", kLibusb1Profile, &error), nullptr);
    EXPECT_EQ(error, "");
}
