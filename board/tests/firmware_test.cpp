#include "firmware.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "fake_usb_port.h"

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

TEST_F(LoadFirmware, EndOfFileOnlyResetsReleasesAndConfigures) {
    int rc = -99;
    EXPECT_EQ(load(kEof, &rc), "err: 0, 1\n");
    EXPECT_EQ(rc, 0);
    const std::vector<std::string> expected = {
        "ctrl 40 a0 e600 0000 : 01 @300",  // CPU held in reset
        "ctrl 40 a0 e600 0000 : 00 @300",  // released
        "config 1",
        "claim 0",
        "altsetting 0 1",
        "out 01 : 00 00 00 00 @300",
    };
    EXPECT_EQ(state_->trace(), expected);
}

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

TEST_F(LoadFirmware, BadLineStopsReadingButKeepsEarlierData) {
    const std::string good = data_record(0x0000, {0x11, 0x22});
    const std::string later = data_record(0x0040, {0x33});
    EXPECT_EQ(load(good + ":0300300002337A1F\n" + later + kEof), "err: -1, 0\n");
    ASSERT_EQ(chunks().size(), 1u);
    EXPECT_EQ(chunks()[0].second[1], 0x22);

    state_->clear_ops();
    EXPECT_EQ(load(good + "0300300002337A1E\n" + later + kEof), "err: -3, 0\n");
    EXPECT_EQ(chunks().size(), 1u);

    // Extended address records are not interpreted: they end the load.
    state_->clear_ops();
    EXPECT_EQ(load(good + ":020000040001F9\n" + later + kEof), "err: 0, 4\n");
    EXPECT_EQ(chunks().size(), 1u);
}

TEST_F(LoadFirmware, RejectsOverlongLineAndRecordPast64K) {
    const std::string good = data_record(0x0000, {0x11});
    // 121 data bytes with a CR LF line end make 255 characters: the longest accepted.
    std::string longest = data_record(0x0200, iota_bytes(121, 0));
    longest.insert(longest.size() - 1, "\r");
    ASSERT_EQ(longest.size(), 255u);
    const std::string too_long = data_record(0x0400, iota_bytes(122, 0));
    EXPECT_EQ(load(good + longest + too_long + kEof), "err: -1, 0\n");
    auto sent = chunks();
    ASSERT_EQ(sent.size(), 1u + 8u);  // chunk 0 and 0x200..0x278
    EXPECT_EQ(sent.back().first, 0x0270);

    state_->clear_ops();
    EXPECT_EQ(load(good + data_record(0xFFF8, iota_bytes(16, 0)) + kEof), "err: -1, 0\n");
    sent = chunks();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, 0);
}

TEST_F(LoadFirmware, MissingFileSendsNothing) {
    FakeUsbPort port(state_);
    ::testing::internal::CaptureStderr();
    const int rc = load_firmware((path_ + ".absent").c_str(), port);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Hex file could not be opened\n");
    EXPECT_EQ(rc, -2);
    EXPECT_TRUE(state_->snapshot().empty());
}
