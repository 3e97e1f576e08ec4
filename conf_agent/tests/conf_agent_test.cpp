// The agent against the virtual board: section registers and printed lines,
// the coefficient loader, the dump, and the whole configure-and-start
// sequence as it appears in the board's protocol trace.
#include "conf_agent.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qv_board.h"
#include "usb_port_libusb1.h"
#include "vboard_control.h"

namespace {

std::unique_ptr<QV_demo_board_> make_board() {
    qv::LinkProfile profile = qv::kLibusb1Profile;
    profile.announce_stream_thread = false;
    return create_board_on(qv::open_libusb1_port(qv::kFx2Vendor, qv::kFx2Product), QV_FW_HEX,
                           profile);
}

std::string cwd() {
    char dir[4096];
    return getcwd(dir, sizeof dir) != nullptr ? dir : "";
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Receive-path sections that leave every field 0 except those given.
const char* const kQuietRx =
    "[RX.ADC_CFG]\nenc_mode=0\nenc_phase=0\nenc_dir=0\nenc_div=0\nint_adc_oe=0\n"
    "int_adc1_on=0\nint_adc2_on=0\nint_adc3_on=0\nint_adc4_on=0\n"
    "[RX.RX_FIFO_THRESH]\nvalue=0\n"
    "[RX.RX_LINK]\nlink_div=0\nlink_type=0\nlink_on=0\n";

std::string lcfg(int n, const std::string& extra) {
    return "[RX.RX" + std::to_string(n) +
           "_LCFG]\non=0\npdith_en=0\nsrc=0\nfgain_inte=0\n"
           "dfir2_inte=0\ndfir1_inte=0\ncicn_inte=0\ncic2_inte=0\n" +
           extra;
}

class Agent : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qvagent_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        board_ = make_board();
        ASSERT_TRUE(board_) << "virtual board or " << QV_FW_HEX << " missing";
    }
    void TearDown() override {
        board_.reset();
        std::system(("rm -rf " + dir_).c_str());
    }

    std::string write(const std::string& name, const std::string& text) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // Runs `step` on an agent loaded with `ini` and returns what it printed.
    template <typename Step>
    std::string run(const std::string& ini, Step step) {
        std::string path = write("agent.ini", ini);
        ::testing::internal::CaptureStdout();
        agent_.reset(new conf_agent_(*board_, path));
        step(*agent_);
        return ::testing::internal::GetCapturedStdout();
    }

    int32_t reg(int32_t address) const {
        auto it = agent_->image().find(address);
        return it == agent_->image().end() ? -999999 : it->second;
    }

    std::string dir_;
    std::unique_ptr<QV_demo_board_> board_;
    std::unique_ptr<conf_agent_> agent_;
};

TEST_F(Agent, ReceivePathSections) {
    std::string ini =
        "[RX.ADC_CFG]\nenc_mode=0\nenc_phase=0\nenc_dir=0\nenc_div=3\nint_adc_oe=1\n"
        "int_adc1_on=1\nint_adc2_on=1\nint_adc3_on=1\nint_adc4_on=1\n"
        "[RX.RX_CFG]\nwr_all=1\nout_fmt=0\nmode=1\nin_type=0\nin_fmt=0\n"
        "[RX.RX_FIFO_THRESH]\nvalue=0x12345\n"
        "[RX.RX_LINK]\nlink_div=2\nlink_type=3\nlink_on=1\n" +
        lcfg(1, "") + lcfg(2, "on=1\nsrc=2\ncic2_inte=1\n") +
        lcfg(3, "src=5\npdith_en=1\nfgain_inte=1\ndfir2_inte=1\n") +
        lcfg(4, "dfir1_inte=1\ncicn_inte=1\n");
    std::string out = run(ini, [](conf_agent_& a) { a.setup_rx("RX"); });
    EXPECT_EQ(out,
              "ADC_CFG=0x038f,enc_dir=0 \n"
              "RX_CFG=0x8040\n"
              "LCFG1=0x0000, src=0, on=0\n"
              "LCFG2=0x8201, src=2, on=1\n"
              "LCFG3=0x4118, src=5, on=0\n"  // src 5 cut to its two bits, printed whole
              "LCFG4=0x0006, src=0, on=0\n");
    EXPECT_EQ(reg(0x0009), 0x038F);
    EXPECT_EQ(reg(0x0010), 0x8040);
    EXPECT_EQ(reg(0x0014), 0x12345);  // recorded whole
    EXPECT_EQ(reg(0x0015), 0x0027);
    EXPECT_EQ(reg(0x0122), 0x8201);
    EXPECT_EQ(agent_->image().size(), 8u);
    EXPECT_EQ(agent_->check_reports(), 0);
    // The chip got the same values (its registers are 16 bits wide).
    EXPECT_EQ(vboard::chip_register(0x0009), 0x038F);
    EXPECT_EQ(vboard::chip_register(0x0014), 0x2345);
}

// Channel sections: CIC scales, NCO words, the dither override and gains.
TEST_F(Agent, ChannelDecimatorsAndNco) {
    std::string coef = write("c.txt", "1 2 3\n");
    std::string ini =
        std::string(kQuietRx) + "[RX.RX_CFG]\nwr_all=0\nout_fmt=0\nmode=0\nin_type=0\nin_fmt=0\n" +
        lcfg(1, "") + lcfg(2, "") + lcfg(3, "on=1\npdith_en=1\nsrc=1\n") + lcfg(4, "") +
        "[CH3.HTRD]\npdith_en=0\nnco_phase=-2\nnco_frq=0x30002\n"
        "[CH3.CIC2]\nmode=1\nscl=-1\ndr=7\n"
        "[CH3.CICN]\nmode=3\nscl=-1\ndr=15\nscl_mx=0\n"
        "[CH3.DFIR1]\norder=4\nsym=1\ndr=1\nscl=9\nfile_coef=" +
        coef +
        "\n"
        "[CH3.DFIR2]\norder=5\nsym=0\ndr=2\nscl=0x13\nfile_coef=" +
        coef +
        "\n"
        "[CH3.GAIN]\nI=-16384\nQ=100\n"
        // automatic scales are not used with mode 0
        "[CH4.CIC2]\nmode=0\nscl=-1\ndr=7\n[CH4.CICN]\nmode=0\nscl=-1\ndr=1\nscl_mx=0\n"
        // CICN automatic scale that stays in the 4-bit field: ratio 2, order 4
        "[CH2.CICN]\nmode=1\nscl=-1\ndr=1\nscl_mx=1\n";
    std::string out = run(ini, [](conf_agent_& a) {
        a.setup_rx("RX");
        a.setup_channel(2, "CH3");
    });
    EXPECT_EQ(out.find("Failed"), std::string::npos) << out;
    EXPECT_EQ(reg(0x0222), 0x8100);  // CH3's pdith_en 0 replaces the LCFG's 1
    EXPECT_EQ(reg(0x022D), -2);
    EXPECT_EQ(reg(0x022E), 0x0002);
    EXPECT_EQ(reg(0x022F), 0x0003);
    EXPECT_EQ(reg(0x0224), 0x8708);  // 14 - 2*3
    EXPECT_EQ(reg(0x0225), 0xCF10);  // 16 - 4*6 = -8 -> 0 with scl_mx
    EXPECT_EQ(reg(0x0226), 0x4401);
    EXPECT_EQ(reg(0x0227), 9);
    EXPECT_EQ(reg(0x0228), 0x0502);
    EXPECT_EQ(reg(0x0229), 3);  // 0x13 cut to 4 bits
    EXPECT_EQ(reg(0x022A), -16384);
    EXPECT_EQ(reg(0x022B), 100);
    EXPECT_EQ(vboard::chip_register(0x022A), 0xC000);

    run(ini, [](conf_agent_& a) {
        a.setup_rx("RX");
        a.setup_channel(3, "CH4");
        a.setup_channel(1, "CH2");
    });
    EXPECT_EQ(reg(0x0324), 0x070F);  // low bits of -1
    EXPECT_EQ(reg(0x0325), 0x010F);
    EXPECT_EQ(reg(0x0125), 0x410C);  // 16 - 1*4 = 12, scl_mx cleared
}

// DFIR phase and ratio for the receive configuration's mode field (DFIR1) and
// whole value (DFIR2).
TEST_F(Agent, DfirPhaseAndRatio) {
    std::string coef = write("c.txt", "1\n");
    struct Case {
        int rx_mode;
        int in_fmt;
        int ch;
        int32_t dfir1, dfir2;
    };
    // DFIR1 dr 0 and DFIR2 dr 1 in every case. DFIR1 follows the mode field
    // (bits 6-7), DFIR2 the whole receive configuration value: only the
    // values 0, 1, 2 adjust it, any other keeps DFIR1's phase and its ratio.
    const Case cases[] = {
        {0, 0, 3, 0x0000, 0x0001},  // independent FIRs: phase 0, ratios as written
        {1, 0, 1, 0x0011, 0x0011},  // phase (dr+1)*(ch%2), dr 2dr+1; value 0x40
        {1, 0, 2, 0x0001, 0x0001},
        {2, 0, 3, 0x0033, 0x0031},  // phase (dr+1)*ch, dr 4dr+3; value 0x80
        {3, 0, 3, 0x0000, 0x0001},  // mode 3: phase 0, ratio as written
        {0, 1, 1, 0x0000, 0x0023},  // value 1: DFIR2 phase 2*(1%2), dr 3
        {0, 2, 3, 0x0000, 0x0067},  // value 2: DFIR2 phase 2*3, dr 7
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.rx_mode) + " ch " + std::to_string(c.ch));
        std::string name = "CH" + std::to_string(c.ch + 1);
        std::string ini =
            std::string(kQuietRx) + "[RX.RX_CFG]\nin_fmt=" + std::to_string(c.in_fmt) +
            "\nout_fmt=0\nin_type=0\nwr_all=0\nmode=" + std::to_string(c.rx_mode) + "\n" +
            lcfg(1, "") + lcfg(2, "") + lcfg(3, "") + lcfg(4, "") + "[" + name +
            ".DFIR1]\norder=0\nsym=0\ndr=0\nscl=0\nfile_coef=" + coef + "\n" + "[" + name +
            ".DFIR2]\norder=0\nsym=0\ndr=1\nscl=0\nfile_coef=" + coef + "\n";
        int ch = c.ch;
        run(ini, [&](conf_agent_& a) {
            a.setup_rx("RX");
            a.setup_channel(ch, name);
        });
        EXPECT_EQ(reg(0x100 * c.ch + 0x26), c.dfir1);
        EXPECT_EQ(reg(0x100 * c.ch + 0x28), c.dfir2);
    }
}

TEST_F(Agent, CoefficientFiles) {
    std::string forty;
    for (int i = 1; i <= 40; ++i) forty += std::to_string(i) + (i % 7 ? " " : "\n");
    std::string many = write("many.txt", forty);
    std::string five = write("five.txt", "-1 0x10\t010\n 7 x9\n");
    run("", [&](conf_agent_& a) {
        EXPECT_EQ(a.load_fir_coeff_from_file(1, 1, many), 32);
        EXPECT_EQ(a.load_fir_coeff_from_file(0, 0, five), 5);
        EXPECT_EQ(a.load_fir_coeff_from_file(2, 0, dir_ + "/none.txt"), 0);
    });
    EXPECT_EQ(reg(0x0180), 1);
    EXPECT_EQ(reg(0x01BE), 32);
    EXPECT_EQ(reg(0x01BF), 0);
    EXPECT_EQ(reg(0x01C0), -999999);                // past the bank: nothing
    const int32_t five_vals[] = {-1, 16, 8, 7, 0};  // "x9" is written as 0
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(reg(0x40 + 2 * i), five_vals[i]);
        EXPECT_EQ(reg(0x41 + 2 * i), 0);
    }
    EXPECT_EQ(reg(0x4A), -999999);
    for (const auto& [address, value] : agent_->image())
        EXPECT_LT(address, 0x200) << "missing file wrote to channel 2";

    // Fewer coefficients than the order needs: check report, what was read
    // is written. A missing file: the same report.
    std::string ini = std::string(kQuietRx) +
                      "[RX.RX_CFG]\nwr_all=0\nout_fmt=0\nmode=0\nin_type=0\nin_fmt=0\n" +
                      lcfg(1, "") + lcfg(2, "") + lcfg(3, "") + lcfg(4, "") +
                      "[CH1.HTRD]\npdith_en=0\nnco_phase=0\nnco_frq=0\n"
                      "[CH1.CIC2]\nmode=0\nscl=0\ndr=0\n[CH1.CICN]\nmode=0\nscl=0\ndr=0\nscl_mx=0\n"
                      "[CH1.DFIR1]\norder=10\nsym=0\ndr=0\nscl=0\nfile_coef=" +
                      five +
                      "\n"  // 5*2 < 11
                      "[CH1.DFIR2]\norder=9\nsym=0\ndr=0\nscl=0\nfile_coef=" +
                      dir_ +
                      "/none.txt\n"
                      "[CH1.GAIN]\nI=0\nQ=0\n";
    std::string out = run(ini, [](conf_agent_& a) {
        a.setup_rx("RX");
        a.setup_channel(0, "CH1");
    });
    EXPECT_NE(out.find("Failed load_fir_coeff_from_file(ch, 0, file_coef)*2>=order+1 at line "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Failed load_fir_coeff_from_file(ch, 1, file_coef)*2>=order+1 at line "),
              std::string::npos)
        << out;
    EXPECT_EQ(agent_->check_reports(), 2);
    EXPECT_EQ(reg(0x0048), 0);
    EXPECT_EQ(reg(0x0080), -999999);
    // Both named for the user with their full paths; the run went on.
    EXPECT_EQ(
        agent_->file_problems(),
        (std::vector<std::string>{"The coefficient file \"" + five +
                                      "\" holds 5 coefficients; CH1.DFIR1 of order 10 needs 6.",
                                  "Cannot open the coefficient file \"" + dir_ +
                                      "/none.txt\": No such file or directory "
                                      "(working directory: " +
                                      cwd() + ")."}));
    EXPECT_EQ(reg(0x002A), 0);  // GAIN written after the missing bank

    // order 9 is satisfied by 5 coefficients (2*5 >= 10)
    std::string ok_ini = ini;
    ok_ini.replace(ok_ini.find("order=10"), 8, "order=9");
    ok_ini.replace(ok_ini.find(dir_ + "/none.txt"), dir_.size() + 9, five);
    out = run(ok_ini, [](conf_agent_& a) {
        a.setup_rx("RX");
        a.setup_channel(0, "CH1");
    });
    EXPECT_EQ(out.find("Failed"), std::string::npos) << out;
}

// Coefficients that are not numbers or do not fit the chip's 16 bits are
// written as before (the chip keeps the low 16 bits) and warned about on
// standard error with the file and line, once per file and run.
TEST_F(Agent, CoefficientFileWarnings) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<int32_t> written;
        std::vector<std::string> warnings;  // "$F": the file's path
    };
    const Case cases[] = {
        {"plain.txt", "-32768 32767\n0x7fff -0x8000\n", {-32768, 32767, 32767, -32768}, {}},
        {"wide.txt",
         "1 40000\n\n-32769 0x8000",
         {1, 40000, -32769, 32768},
         {"\"$F\", line 1: coefficient 40000 lies outside -32768..32767; the chip gets its low 16 "
          "bits, -25536.",
          "\"$F\", line 3: coefficient -32769 lies outside -32768..32767; the chip gets its low 16 "
          "bits, 32767.",
          "\"$F\", line 3: coefficient 0x8000 lies outside -32768..32767; the chip gets its low 16 "
          "bits, -32768."}},
        {"binary.bin",
         std::string("\x7f"
                     "ELF\x02\x01\0\0",
                     8) +
             "\n\n\x03\"99999x",
         {0, 0},
         {
             "\"$F\", line 1: coefficient \"\\x7fELF\\x02\\x01\\x00\\x00\" is not a number; "
             "written as 0.",
             "\"$F\", line 3: coefficient \"\\x03\\\"99999x\" is not a number; written as 0.",
         }},
        {"tail.txt",
         "1.5 7 x9 8 9 a b 12\n\nc\n",
         {1, 7, 0, 8, 9, 0, 0, 12, 0},
         {"\"$F\", line 1: coefficient \"1.5\" is not a number; written as 1.",
          "\"$F\", line 1: coefficient \"x9\" is not a number; written as 0.",
          "\"$F\", line 1: coefficient \"a\" is not a number; written as 0.",
          "\"$F\", line 1: coefficient \"b\" is not a number; written as 0.",
          "\"$F\", line 3: coefficient \"c\" is not a number; written as 0."}},
        {"many.txt",
         "y y y y y y\ny 99999x\n",
         {0, 0, 0, 0, 0, 0, 0, 99999},
         {"\"$F\", line 1: coefficient \"y\" is not a number; written as 0.",
          "\"$F\", line 1: coefficient \"y\" is not a number; written as 0.",
          "\"$F\", line 1: coefficient \"y\" is not a number; written as 0.",
          "\"$F\", line 1: coefficient \"y\" is not a number; written as 0.",
          "\"$F\", line 1: coefficient \"y\" is not a number; written as 0.",
          "\"$F\", lines 1 to 2: 3 more coefficients that are not numbers or lie outside "
          "-32768..32767."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write(c.name, c.text);
        std::string err;
        run("", [&](conf_agent_& a) {
            ::testing::internal::CaptureStderr();
            EXPECT_EQ(a.load_fir_coeff_from_file(0, 0, path), static_cast<int>(c.written.size()));
            EXPECT_EQ(a.load_fir_coeff_from_file(1, 1, path), static_cast<int>(c.written.size()));
            err = ::testing::internal::GetCapturedStderr();
        });
        std::string want;
        for (std::string w : c.warnings) want += w.replace(w.find("$F"), 2, path) + "\n";
        EXPECT_EQ(err, want);
        for (size_t i = 0; i < c.written.size(); ++i)
            EXPECT_EQ(reg(0x40 + 2 * static_cast<int>(i)), c.written[i]) << i;
        EXPECT_EQ(agent_->check_reports(), 0);
    }
}

TEST_F(Agent, DumpListsTheImageInAddressOrder) {
    run("", [](conf_agent_& a) {
        a.set_reg(0x0322, 1);
        a.set_reg(0x0010, 0x8049);
        a.set_reg(0x0009, 0x5A0F);
        a.set_reg(0x0040, -3);  // low 16 bits in the dump
        a.set_reg(0x0014, 0x12345);
        a.set_reg(0x0010, 0x8040);          // later value wins, one line
        EXPECT_EQ(a.image_reg(0x0200), 0);  // reading enters the address
    });
    std::string path = dir_ + "/config.c";
    EXPECT_EQ(agent_->dump_regs(path), 0);
    EXPECT_EQ(read_file(path),
              "struct QV_reg_ config [] ={\n"
              "{0x0009, 0x5a0f},\n"
              "{0x0010, 0x8040},\n"
              "{0x0014, 0x2345},\n"
              "{0x0040, 0xfffd},\n"
              "{0x0200, 0x0000},\n"
              "{0x0322, 0x0001},\n"
              "{-1, 0} };\n");
    EXPECT_EQ(agent_->dump_regs(dir_ + "/no/such/dir/config.c"), -ENOENT);
}

// One register write as it appears on endpoint 0x01: address phase, data phase.
std::vector<std::string> reg_write(int addr, int32_t value) {
    char a[64], d[64];
    uint32_t v = static_cast<uint32_t>(value);
    std::snprintf(a, sizeof a, "out 01 : 04 00 00 %02x %02x %02x %02x", addr & 0xFF,
                  (addr >> 8) & 0xFF, (addr >> 16) & 0xFF, (addr >> 24) & 0xFF);
    std::snprintf(d, sizeof d, "out 01 : 04 00 01 %02x %02x %02x %02x", v & 0xFF, (v >> 8) & 0xFF,
                  (v >> 16) & 0xFF, v >> 24);
    return {a, d};
}

std::vector<std::string> out01_lines(const std::string& trace) {
    std::vector<std::string> lines;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("out 01 :", 0) == 0) lines.push_back(line);
    return lines;
}

// The whole sequence of qv01_fm on the project's own configuration: every
// register write in the agent's order, the dump before the announcement, then
// the start sequence.
TEST_F(Agent, ConfigureChipSequenceInTheProtocolTrace) {
    // Coefficient paths in the ini are relative to run/.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(QV_RUN_DIR), 0);
    std::string trace = dir_ + "/trace.txt";
    ASSERT_EQ(vboard::set_trace_file(trace), 0);
    size_t lines_at_announce = 0;
    bool dump_before_announce = false;
    ConfigureReport report;
    report.error = "stale";
    ::testing::internal::CaptureStdout();
    int reports = configure_chip(
        board_.get(), "../config/FM_radio.ini",
        [&] {
            lines_at_announce = out01_lines(read_file(trace)).size();
            dump_before_announce = read_file("config.c").find("{-1, 0} };") != std::string::npos;
        },
        &report);
    std::string out = ::testing::internal::GetCapturedStdout();
    vboard::set_trace_file("");
    std::string dump = read_file("config.c");
    std::remove("config.c");
    ASSERT_EQ(chdir(cwd), 0);

    EXPECT_EQ(reports, 0);
    EXPECT_TRUE(report.loaded);
    EXPECT_EQ(report.error, "");
    EXPECT_EQ(report.summary(), "");
    EXPECT_EQ(report.check_reports, 0);
    EXPECT_EQ(dump, read_file(QV_EXPECTED_CONFIG_C));  // the dump of the project's configuration
    EXPECT_EQ(out,
              "ADC_CFG=0x0081,enc_dir=0 \n"
              "RX_CFG=0x0000\n"
              "LCFG1=0xc000, src=0, on=1\n"
              "LCFG2=0x0000, src=0, on=0\n"
              "LCFG3=0x0000, src=0, on=0\n"
              "LCFG4=0x0000, src=0, on=0\n");
    EXPECT_TRUE(dump_before_announce);
    EXPECT_EQ(board_->decimation(), 324);

    // Expected register order from the section layout; values from the dump
    // (which the dump test checks on its own).
    std::map<int, int32_t> dumped;
    {
        std::istringstream in(dump);
        for (std::string line; std::getline(in, line);) {
            unsigned a, v;
            if (std::sscanf(line.c_str(), "{0x%x, 0x%x},", &a, &v) == 2)
                dumped[static_cast<int>(a)] = static_cast<int32_t>(v);
        }
    }
    std::vector<int> order = {0x0009, 0x0010, 0x0014, 0x0015, 0x0022, 0x0122, 0x0222, 0x0322};
    const int banks[] = {17, 63, 1, 1, 1, 1, 1, 1};  // taps per bank: c0..cn = (order/2)+1
    for (int ch = 0; ch < 4; ++ch) {
        const int b = 0x100 * ch;
        for (int r : {0x22, 0x2D, 0x2E, 0x2F, 0x24, 0x25, 0x26, 0x27}) order.push_back(b + r);
        for (int i = 0; i < banks[2 * ch] / 2 + 1; ++i) {
            order.push_back(b + 0x40 + 2 * i);
            order.push_back(b + 0x41 + 2 * i);
        }
        order.push_back(b + 0x28);
        order.push_back(b + 0x29);
        for (int i = 0; i < banks[2 * ch + 1] / 2 + 1; ++i) {
            order.push_back(b + 0x80 + 2 * i);
            order.push_back(b + 0x81 + 2 * i);
        }
        order.push_back(b + 0x2A);
        order.push_back(b + 0x2B);
    }
    // Each entry: the exact message, or (ending in '*') the start of it.
    std::vector<std::string> want = {"out 01 : 0e 0e 00 00", "out 01 : 03 01 00 03 00 00 00"};
    for (int a : order) {
        ASSERT_TRUE(dumped.count(a)) << std::hex << a;
        // The dump holds the low 16 bits of the data phase.
        std::vector<std::string> w = reg_write(a, dumped[a]);
        want.push_back(w[0]);
        want.push_back(w[1].substr(0, std::string("out 01 : 04 00 01 xx xx").size()) + "*");
    }
    EXPECT_EQ(dumped.size(), order.size() - 4);  // LCFG registers are written twice
    const size_t config_lines = want.size();
    for (const std::string& l : reg_write(4, 0xFFFF)) want.push_back(l);
    want.push_back("out 01 : 04 02 0a 00 00 00 00");  // receive mode 2: bit 0, bit 1, bits 2-3
    want.push_back("out 01 : 04 02 0a 02 00 00 00");
    want.push_back("out 01 : 04 02 0a 02 00 00 00");
    for (int32_t v : {0x8002, 0x8004, 0x8100})
        for (const std::string& l : reg_write(5, v)) want.push_back(l);
    want.push_back("out 01 : 0d 00 01 00");
    for (const std::string& l : reg_write(5, 0x8001)) want.push_back(l);

    std::vector<std::string> got = out01_lines(read_file(trace));
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        if (want[i].back() == '*')
            ASSERT_EQ(got[i].substr(0, want[i].size() - 1), want[i].substr(0, want[i].size() - 1))
                << "message " << i;
        else
            ASSERT_EQ(got[i], want[i]) << "message " << i;
    }
    // The FM channel as designed: CIC2 /4 at half gain (scale 9), CICN /9
    // fifth order, DFIR1 order 16 /3, DFIR2 order 62 /3, unity gain.
    EXPECT_EQ(dumped[0x24], 0x8309);
    EXPECT_EQ(dumped[0x25], 0x8800);
    EXPECT_EQ(dumped[0x26], 0x1002);
    EXPECT_EQ(dumped[0x28], 0x3e02);
    EXPECT_EQ(dumped[0x2A], 0x4000);
    EXPECT_EQ(dumped[0x2B], 0);
    EXPECT_EQ(lines_at_announce, config_lines);
}

// tunerdesk's variant: bus control in place of timing and lines, no dump, no
// announcement. A file without the keys reports every key (reading it as 0),
// names the files it cannot open, and still writes every register.
TEST_F(Agent, ClassicVariantWithMissingKeys) {
    write("keys.ini", "[CH1.DFIR1]\nfile_coef=none.txt\norder=3\n#include\"gone.ini\"\n");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    std::string trace = dir_ + "/trace.txt";
    ASSERT_EQ(vboard::set_trace_file(trace), 0);
    ConfigureReport report;
    ::testing::internal::CaptureStdout();
    int reports = configure_chip_classic(board_.get(), "keys.ini", &report);
    std::string out = ::testing::internal::GetCapturedStdout();
    vboard::set_trace_file("");
    bool dumped = access("config.c", F_OK) == 0;
    ASSERT_EQ(chdir(cwd), 0);

    EXPECT_FALSE(dumped);
    // Every key of every section reported (enc_dir twice) but the two given,
    // plus the two coefficient checks per channel.
    EXPECT_EQ(reports, (9 + 1 + 5 + 1 + 3 + 4 * 8) + 4 * (3 + 3 + 4 + 5 + 5 + 2) - 2 + 4 * 2);
    EXPECT_EQ(report.check_reports, reports);
    EXPECT_TRUE(report.loaded);
    EXPECT_EQ(report.error, "");
    EXPECT_EQ(report.missing_keys.size(), 50u + 4u * 22u - 2u);  // each key once
    EXPECT_EQ(report.summary(),
              "keys.ini: 136 keys missing: RX.ADC_CFG.enc_mode, RX.ADC_CFG.enc_dir, "
              "RX.ADC_CFG.enc_phase, "
              "RX.ADC_CFG.enc_div, RX.ADC_CFG.int_adc_oe, \u2026\n"
              "Cannot open the file \"" +
                  dir_ + "/gone.ini\" (#include in \"" + dir_ +
                  "/keys.ini\", line 4): "
                  "No such file or directory (working directory: " +
                  dir_ +
                  "). "
                  "Cannot open the coefficient file \"" +
                  dir_ +
                  "/none.txt\": No such file or directory "
                  "(working directory: " +
                  dir_ + ").");
    EXPECT_NE(out.find("LCFG4=0x0000, src=0, on=0\n"), std::string::npos);
    size_t enc_dir_reports = 0;
    for (size_t p = out.find("Failed GETVAR(enc_dir) at line "); p != std::string::npos;
         p = out.find("Failed GETVAR(enc_dir) at line ", p + 1))
        ++enc_dir_reports;
    EXPECT_EQ(enc_dir_reports, 2u);  // looked up twice
    std::vector<std::string> got = out01_lines(read_file(trace));
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[0], "out 01 : 04 00 02 04 00 00 00");  // bridge (0, 4*cs+2) = 4
    // 8 receive-path registers and 12 per channel (no coefficient file), two
    // messages each, then 14 messages of the start sequence.
    EXPECT_EQ(got.size(), 1u + 2u * (8u + 4u * 12u) + 14u);
    EXPECT_EQ(got.back(), reg_write(5, 0x8001)[1]);
    EXPECT_EQ(configure_chip_classic(nullptr, "FM_radio.ini", &report), qv::kErrInvalid);
    EXPECT_NE(report.error, "");
}

// A configuration that cannot be read, or whose load a scanner error ended,
// reaches neither the chip nor config.c, and the run says which file and line.
// "$D" stands for the working directory, where the files are.
TEST_F(Agent, ConfigurationThatDoesNotLoadIsNotApplied) {
    struct Case {
        const char* what;
        std::string include;  // text of inc.ini
        std::string top;      // the configuration file given to the run
        int error;
        std::string message;
    };
    const Case cases[] = {
        {"missing file", "", "../run/FM_radio.ini", -ENOENT,
         "Cannot open the configuration file \"$D/../run/FM_radio.ini\": No such file or directory "
         "(working directory: $D)."},
        {"over-long token in an included file", "x=1\n\n\ny=" + std::string(17000, '7') + "\n",
         "top.ini", -EOVERFLOW,
         "\"$D/inc.ini\", line 4: input buffer overflow, can't enlarge buffer because scanner uses "
         "REJECT "
         "(a name, value or comment longer than 16384 bytes)."},
    };
    write("top.ini", "[RX.RX_CFG]\nmode=0\n[CH1]\n#source\"inc.ini\"\n");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    std::string trace = dir_ + "/trace.txt";
    for (const Case& c : cases) {
        for (bool classic : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (classic ? ", tunerdesk" : ", qv01_fm"));
            write("inc.ini", c.include);
            std::remove(trace.c_str());
            ASSERT_EQ(vboard::set_trace_file(trace), 0);
            bool announced = false;
            ConfigureReport report;
            ::testing::internal::CaptureStdout();
            ::testing::internal::CaptureStderr();
            const int rc = classic ? configure_chip_classic(board_.get(), c.top, &report)
                                   : configure_chip(
                                         board_.get(), c.top, [&] { announced = true; }, &report);
            ::testing::internal::GetCapturedStderr();
            std::string out = ::testing::internal::GetCapturedStdout();
            vboard::set_trace_file("");
            EXPECT_EQ(rc, c.error);
            EXPECT_FALSE(report.loaded);
            std::string message = c.message;
            for (size_t p; (p = message.find("$D")) != std::string::npos;)
                message.replace(p, 2, dir_);
            EXPECT_EQ(report.error, message);
            EXPECT_EQ(out, "");  // no section ran
            EXPECT_EQ(read_file(trace), "");
            EXPECT_FALSE(announced);
            EXPECT_NE(access("config.c", F_OK), 0);
        }
    }
    ASSERT_EQ(chdir(cwd), 0);
}

// A board call that fails ends the run there: no further traffic, no dump, no
// start, and the report says the board stopped answering.
TEST_F(Agent, FailedBoardCallEndsTheRun) {
    std::string ini = write("agent.ini", "");
    std::string trace = dir_ + "/trace.txt";
    ASSERT_EQ(vboard::set_trace_file(trace), 0);
    {
        ::testing::internal::CaptureStdout();
        conf_agent_ agent(*board_, ini);
        vboard::stall_next_command();  // the first register write's address phase times out
        const int rc = agent.setup_sections();
        ::testing::internal::GetCapturedStdout();
        EXPECT_LT(rc, 0);
        EXPECT_EQ(agent.board_error(), rc);
        EXPECT_EQ(agent.report().error, board_lost_text(rc));
        EXPECT_EQ(read_file(trace), "");  // nothing after the failed write
    }

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    vboard::unplug();
    bool announced = false;
    ConfigureReport report;
    ::testing::internal::CaptureStdout();
    const int rc = configure_chip(
        board_.get(), "agent.ini", [&] { announced = true; }, &report);
    ::testing::internal::GetCapturedStdout();
    const bool dumped = access("config.c", F_OK) == 0;
    ASSERT_EQ(chdir(cwd), 0);
    vboard::set_trace_file("");
    board_.reset();
    vboard::reset();
    EXPECT_EQ(rc, qv::kErrDeviceLost);
    EXPECT_TRUE(report.loaded);
    EXPECT_EQ(
        report.error,
        "The board stopped answering while it was being configured (error -19: No such device).");
    EXPECT_FALSE(announced);
    EXPECT_FALSE(dumped);
}

// The user's summary of a run: missing keys counted and listed in report
// order (shortened after five), then the file problems.
TEST(ConfigureReportSummary, KeysThenFileProblems) {
    struct Case {
        std::vector<std::string> keys, problems;
        std::string summary;
    };
    const Case cases[] = {
        {{}, {}, ""},
        {{"CH1.GAIN.I"}, {}, "FM_radio.ini: 1 key missing: CH1.GAIN.I"},
        {{"CH1.CIC2.dr", "CH1.CICN.dr", "CH1.DFIR1.sym"},
         {},
         "FM_radio.ini: 3 keys missing: CH1.CIC2.dr, CH1.CICN.dr, CH1.DFIR1.sym"},
        {{"a", "b", "c", "d", "e", "f"},
         {"P."},
         "FM_radio.ini: 6 keys missing: a, b, c, d, e, \u2026\nP."},
        {{}, {"P1.", "P2.", "P3.", "P4."}, "P1. P2. P3. (1 more file problems)"},
    };
    for (const Case& c : cases) {
        ConfigureReport r;
        r.file = "../config/FM_radio.ini";
        r.missing_keys = c.keys;
        r.file_problems = c.problems;
        EXPECT_EQ(r.summary(), c.summary);
    }
}

}  // namespace
