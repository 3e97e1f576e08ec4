// Every field of the chip's register map, from the configuration key to the
// chip model: a key one bit wider than its field lands in exactly the field's
// bits of the chip's register layout, and the model reads the field's widest
// value back. A field narrowed or moved where it is defined fails here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "channel_settings.h"
#include "conf_agent.h"
#include "qv01_regs.h"

namespace {

using qv01model::ChannelSettings;

struct FieldCase {
    const char* section;  // RX sections, and channel 0's CH1 sections
    const char* key;
    int address;    // of channel 0
    uint16_t bits;  // the field in the chip's register layout
    // The field as the chip model decodes it; null where the model does not.
    int (*decoded)(const ChannelSettings&);
};

const FieldCase kFields[] = {
    {"RX.ADC_CFG", "enc_mode", 0x09, 0x4000, nullptr},
    {"RX.ADC_CFG", "enc_phase", 0x09, 0x2000, nullptr},
    {"RX.ADC_CFG", "enc_dir", 0x09, 0x1000, nullptr},
    {"RX.ADC_CFG", "enc_div", 0x09, 0x0F00, nullptr},
    {"RX.ADC_CFG", "int_adc_oe", 0x09, 0x0080, nullptr},
    {"RX.ADC_CFG", "int_adc4_on", 0x09, 0x0008, nullptr},
    {"RX.ADC_CFG", "int_adc3_on", 0x09, 0x0004, nullptr},
    {"RX.ADC_CFG", "int_adc2_on", 0x09, 0x0002, nullptr},
    {"RX.ADC_CFG", "int_adc1_on", 0x09, 0x0001, nullptr},
    {"RX.RX_CFG", "wr_all", 0x10, 0x8000, nullptr},
    {"RX.RX_CFG", "out_fmt", 0x10, 0x0100, nullptr},
    {"RX.RX_CFG", "mode", 0x10, 0x00C0, nullptr},
    {"RX.RX_CFG", "in_type", 0x10, 0x0038, nullptr},
    {"RX.RX_CFG", "in_fmt", 0x10, 0x0003, nullptr},
    {"RX.RX_LINK", "link_div", 0x15, 0x0030, nullptr},
    {"RX.RX_LINK", "link_type", 0x15, 0x0006, nullptr},
    {"RX.RX_LINK", "link_on", 0x15, 0x0001, nullptr},
    {"RX.RX1_LCFG", "on", 0x22, 0x8000, nullptr},
    {"CH1.HTRD", "pdith_en", 0x22, 0x4000, nullptr},  // replaces the LCFG section's
    {"RX.RX1_LCFG", "src", 0x22, 0x0300, nullptr},
    {"RX.RX1_LCFG", "fgain_inte", 0x22, 0x0010, nullptr},
    {"RX.RX1_LCFG", "dfir2_inte", 0x22, 0x0008, nullptr},
    {"RX.RX1_LCFG", "dfir1_inte", 0x22, 0x0004, nullptr},
    {"RX.RX1_LCFG", "cicn_inte", 0x22, 0x0002, nullptr},
    {"RX.RX1_LCFG", "cic2_inte", 0x22, 0x0001, nullptr},
    {"CH1.CIC2", "mode", 0x24, 0x8000, [](const auto& s) { return int(s.cic2_on); }},
    {"CH1.CIC2", "dr", 0x24, 0x7F00, [](const auto& s) { return s.cic2_ratio - 1; }},
    {"CH1.CIC2", "scl", 0x24, 0x000F, [](const auto& s) { return s.cic2_scale; }},
    {"CH1.CICN", "mode", 0x25, 0xC000, [](const auto& s) { return s.cicn_mode; }},
    {"CH1.CICN", "dr", 0x25, 0x3F00, [](const auto& s) { return s.cicn_ratio - 1; }},
    {"CH1.CICN", "scl_mx", 0x25, 0x0010, [](const auto& s) { return int(s.cicn_scl_mx); }},
    {"CH1.CICN", "scl", 0x25, 0x000F, [](const auto& s) { return s.cicn_scale; }},
    // The model keeps half = order / 2 of the (odd) widest order.
    {"CH1.DFIR1", "order", 0x26, 0x3F00, [](const auto& s) { return 2 * s.fir[0].half + 1; }},
    {"CH1.DFIR1", "sym", 0x26, 0x4000, [](const auto& s) { return int(s.fir[0].antisym); }},
    {"CH1.DFIR1", "dr", 0x26, 0x000F, [](const auto& s) { return s.fir[0].ratio - 1; }},
    {"CH1.DFIR1", "scl", 0x27, 0x000F, [](const auto& s) { return s.fir[0].scale; }},
    {"CH1.DFIR2", "order", 0x28, 0x3F00, [](const auto& s) { return 2 * s.fir[1].half + 1; }},
    {"CH1.DFIR2", "sym", 0x28, 0x4000, [](const auto& s) { return int(s.fir[1].antisym); }},
    {"CH1.DFIR2", "dr", 0x28, 0x000F, [](const auto& s) { return s.fir[1].ratio - 1; }},
    {"CH1.DFIR2", "scl", 0x29, 0x000F, [](const auto& s) { return s.fir[1].scale; }},
};

TEST(RegisterFields, WidestValueOfEveryKeyReachesTheChipModel) {
    const std::string path =
        ::testing::TempDir() + "qv_fields_" + std::to_string(getpid()) + ".ini";
    for (const FieldCase& c : kFields) {
        SCOPED_TRACE(std::string(c.section) + "." + c.key);
        const int widest = c.bits >> __builtin_ctz(c.bits);
        // One bit wider than the field: the agent must cut it, not spill it.
        std::ofstream(path) << "[" << c.section << "]\n"
                            << c.key << " = " << 2 * widest + 1 << "\n";
        ::testing::internal::CaptureStdout();  // check reports of every other key
        conf_agent_ agent(path);
        agent.setup_rx("RX");
        agent.setup_channel(0, "CH1");
        ::testing::internal::GetCapturedStdout();

        EXPECT_EQ(agent.image().at(c.address), c.bits);
        uint16_t regs[qv01::kRegisterCount] = {};
        for (const auto& [address, value] : agent.image())
            if (address >= 0 && address < qv01::kRegisterCount) regs[address] = uint16_t(value);
        if (c.decoded) {
            EXPECT_EQ(c.decoded(qv01model::decode_channel(regs, 0)), widest);
        }
    }
    std::remove(path.c_str());
}

}  // namespace
