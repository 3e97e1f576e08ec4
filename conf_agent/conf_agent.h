// Chip configuration agent: turns the sections of a configuration file into
// QV01 register values, writes them through the board and keeps a register
// image that it can dump as a C initializer ("config.c").
//
// Threads: an agent lives for one configuration run on the thread that runs it
// (the GUI thread of either program); the board must not be used by another
// thread for register traffic meanwhile.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "config_reader.h"

class QV_board_;

// Chip register addresses written by the agent. Per channel ch the registers
// sit at 0x100 * ch + the channel offset.
namespace qvreg {
constexpr int32_t kControl4 = 0x0004;
constexpr int32_t kControl = 0x0005;
constexpr int32_t kAdcCfg = 0x0009;
constexpr int32_t kRxCfg = 0x0010;
constexpr int32_t kRxFifoThresh = 0x0014;
constexpr int32_t kRxLink = 0x0015;
constexpr int32_t kChannelStride = 0x100;
constexpr int32_t kLcfg = 0x22;
constexpr int32_t kCic2 = 0x24;
constexpr int32_t kCicn = 0x25;
constexpr int32_t kDfir1Ctrl = 0x26;
constexpr int32_t kDfir1Scale = 0x27;
constexpr int32_t kDfir2Ctrl = 0x28;
constexpr int32_t kDfir2Scale = 0x29;
constexpr int32_t kGainI = 0x2A;
constexpr int32_t kGainQ = 0x2B;
constexpr int32_t kNcoPhase = 0x2D;
constexpr int32_t kNcoFreqLow = 0x2E;
constexpr int32_t kNcoFreqHigh = 0x2F;
constexpr int32_t kDfir1Bank = 0x40;  // 32 pairs: coefficient, 0
constexpr int32_t kDfir2Bank = 0x80;
constexpr int kBankCoefficients = 32;
}  // namespace qvreg

class conf_agent_ {
public:
    using image_type = std::map<int32_t, int32_t>;

    // Loads the configuration at `path` (relative to the working directory).
    // A missing or unreadable file is not reported here: every lookup of the
    // sections then fails with its check report.
    conf_agent_(QV_board_& board, const std::string& path);
    conf_agent_(const conf_agent_&) = delete;
    conf_agent_& operator=(const conf_agent_&) = delete;

    // image[address] = value, then the board's write_reg(address, value).
    void set_reg(int32_t address, int32_t value);

    // Value last recorded for `address`; an address never recorded reads 0 and
    // is entered into the image with 0 (so the dump lists it).
    int32_t image_reg(int32_t address);

    // Receive-path sections of `name` (.ADC_CFG, .RX_CFG, .RX_FIFO_THRESH,
    // .RX_LINK, .RX1_LCFG .. .RX4_LCFG): writes 0x0009, 0x0010, 0x0014, 0x0015
    // and the four LCFG registers, printing the ADC, RX_CFG and LCFG lines.
    // Missing keys read as 0 after their check report. Returns 0.
    int setup_rx(const std::string& name);

    // Channel sections of channel `ch` (0..3) named `name` (.HTRD, .CIC2,
    // .CICN, .DFIR1, .DFIR2, .GAIN); needs setup_rx's LCFG and RX_CFG values
    // in the image. Missing keys read as 0 after their check report. Returns 0.
    int setup_channel(int ch, const std::string& name);

    // Writes up to 32 coefficients of the file `file` (white-space separated
    // numbers, path relative to the working directory) to the DFIR1 (which =
    // 0) or DFIR2 (which = 1) bank of channel `ch`, each followed by a 0 in
    // the pair's second register. A token that is not a number is written as
    // 0. Returns the number of coefficients written; 0 when the file cannot be
    // opened (nothing written, nothing printed).
    int load_fir_coeff_from_file(int ch, int which, const std::string& file);

    // Writes the image to `path` as "struct QV_reg_ config [] ={" lines of
    // "{0xaddr, 0xvalue}," (low 16 bits, ascending address) ending with
    // "{-1, 0} };". Returns 0, the negated errno when the file cannot be
    // created, or fclose's status. Prints nothing.
    int dump_regs(const std::string& path) const;
    // The same text to an open stream; returns 0 or -EIO on a write error.
    int dump_regs(std::FILE* out) const;

    const image_type& image() const { return image_; }
    const config_reader_& reader() const { return reader_; }
    // Check reports printed so far (failed lookups and short coefficient files).
    int check_reports() const { return reader_.failed_lookups() + coeff_checks_failed_; }

private:
    // DFIR control register (sym, order, ratio field, phase) and scale register.
    void write_dfir(int32_t control, int32_t scale, int32_t sym, int32_t order, int64_t r,
                    int64_t phase, int32_t scl);

    QV_board_& board_;
    config_reader_ reader_;  // named for the GETVAR lookups
    image_type image_;
    int coeff_checks_failed_ = 0;
};

// The configure-and-start sequence of qv01_fm: agent with `path`, bus timing
// 5000 ns and both control lines high, receive-path and four channel sections,
// register dump to "config.c" in the working directory, agent gone, then
// `announce_filters` (the Filters panel reloads its controls), and the start:
// register 4 = 0xFFFF, receive mode 2, register 5 = 0x8002, 0x8004, 0x8100,
// stream of channel 0 on, register 5 = 0x8001.
// Returns the number of check reports printed, or -22 (nothing done) without
// a board.
int configure_chip(QV_board_* board, const std::string& path,
                   const std::function<void()>& announce_filters);

// tunerdesk's variant: set_bus_control(4) in place of the bus timing and
// lines, no dump and no announcement (its form reloads the filter controls
// itself afterwards); otherwise the same.
int configure_chip_classic(QV_board_* board, const std::string& path);
