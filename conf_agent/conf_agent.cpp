#include "conf_agent.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "coeff_file.h"
#include "qv01_regs.h"
#include "qv_board.h"

// Source file named in the check reports of the GETVAR lookups.
#define QV_CHECK_FILE "conf_agent"

using namespace qv01;

namespace {

// A configuration key and the register field its number is packed into. `line`
// is the entry's own source line: the check report of a failed lookup names it.
struct key_field {
    const char* key;
    Field field;
    int line;
};

// The registers the agent packs from fields, each as the keys of its section
// in lookup order, one key per line (a check report names the line).
// clang-format off

// .ADC_CFG. enc_dir is looked up a second time after enc_phase, as the agent
// always has: a missing enc_dir gives two check reports, and the number of
// reports is what a configure run returns and qvconf shows.
const key_field kAdcCfgKeys[] = {
    {"enc_mode", adc_cfg::kEncMode, __LINE__},
    {"enc_dir", adc_cfg::kEncDir, __LINE__},
    {"enc_phase", adc_cfg::kEncPhase, __LINE__},
    {"enc_dir", adc_cfg::kEncDir, __LINE__},  // the second lookup, see above
    {"enc_div", adc_cfg::kEncDiv, __LINE__},
    {"int_adc_oe", adc_cfg::kIntAdcOe, __LINE__},
    {"int_adc4_on", adc_cfg::kIntAdc4On, __LINE__},
    {"int_adc3_on", adc_cfg::kIntAdc3On, __LINE__},
    {"int_adc2_on", adc_cfg::kIntAdc2On, __LINE__},
    {"int_adc1_on", adc_cfg::kIntAdc1On, __LINE__},
};

// .RX_CFG.
const key_field kRxCfgKeys[] = {
    {"wr_all", rx_cfg::kWrAll, __LINE__},
    {"out_fmt", rx_cfg::kOutFmt, __LINE__},
    {"mode", rx_cfg::kMode, __LINE__},
    {"in_type", rx_cfg::kInType, __LINE__},
    {"in_fmt", rx_cfg::kInFmt, __LINE__},
};

// .RX_LINK.
const key_field kRxLinkKeys[] = {
    {"link_div", rx_link::kLinkDiv, __LINE__},
    {"link_type", rx_link::kLinkType, __LINE__},
    {"link_on", rx_link::kLinkOn, __LINE__},
};

// .RX1_LCFG .. .RX4_LCFG.
const key_field kLcfgKeys[] = {
    {"on", lcfg::kOn, __LINE__},
    {"pdith_en", lcfg::kPdithEn, __LINE__},
    {"src", lcfg::kSrc, __LINE__},
    {"fgain_inte", lcfg::kFgainInte, __LINE__},
    {"dfir2_inte", lcfg::kDfir2Inte, __LINE__},
    {"dfir1_inte", lcfg::kDfir1Inte, __LINE__},
    {"cicn_inte", lcfg::kCicnInte, __LINE__},
    {"cic2_inte", lcfg::kCic2Inte, __LINE__},
};

// .CIC2 (a negative scl with the stage on: automatic scale).
const key_field kCic2Keys[] = {
    {"mode", cic2::kMode, __LINE__},
    {"scl", cic2::kScale, __LINE__},
    {"dr", cic2::kRatio, __LINE__},
};

// .CICN (a negative scl with the stage on: automatic scale and scl_mx).
const key_field kCicnKeys[] = {
    {"mode", cicn::kMode, __LINE__},
    {"scl", cicn::kScale, __LINE__},
    {"dr", cicn::kRatio, __LINE__},
    {"scl_mx", cicn::kSclMx, __LINE__},
};

// .DFIR1 and .DFIR2: the control register (its ratio field adjusted and the
// phase added for the receive configuration), then the scale register.
const key_field kDfir1ControlKeys[] = {
    {"order", dfir::kOrder, __LINE__},
    {"sym", dfir::kSym, __LINE__},
    {"dr", dfir::kRatio, __LINE__},
};
const key_field kDfir1ScaleKeys[] = {
    {"scl", dfir::kScale, __LINE__},
};
const key_field kDfir2ControlKeys[] = {
    {"order", dfir::kOrder, __LINE__},
    {"sym", dfir::kSym, __LINE__},
    {"dr", dfir::kRatio, __LINE__},
};
const key_field kDfir2ScaleKeys[] = {
    {"scl", dfir::kScale, __LINE__},
};
// clang-format on

// The numbers of one table's keys, in table order.
template <size_t N>
struct key_values {
    const key_field (&keys)[N];
    int64_t value[N] = {};

    // The number of `key` (of its first entry).
    int64_t& operator[](const char* key) {
        for (size_t i = 0; i < N; ++i)
            if (std::strcmp(keys[i].key, key) == 0) return value[i];
        return value[0];  // not reached: callers name keys of their table
    }
};

// Looks up every key of `table` in the reader's current section, in table
// order; a missing key gets its check report and reads 0.
template <size_t N>
key_values<N> look_up(const config_reader_& reader, const key_field (&table)[N]) {
    key_values<N> v{table};
    for (size_t i = 0; i < N; ++i) {
        int32_t number = 0;
        reader.getvar(table[i].key, number, table[i].line, QV_CHECK_FILE);
        v.value[i] = number;
    }
    return v;
}

// `reg` with every key's number in its field, cut to the field's width.
template <size_t N>
int32_t pack(const key_values<N>& v, uint32_t reg = 0) {
    uint32_t r = reg;
    for (size_t i = 0; i < N; ++i) r = set_field(r, v.keys[i].field, v.value[i]);
    return static_cast<int32_t>(r);
}

// Smallest j in 0..32 with 2^j >= ratio (dr + 1); 32 when none is.
int ceil_log2(int64_t ratio) {
    for (int j = 0; j <= 32; ++j)
        if ((int64_t{1} << j) >= ratio) return j;
    return 32;
}

// DFIR ratio and start phase for receive configuration `mode` 0, 1 or 2
// (channels sharing one FIR get a widened ratio and their own phase); other
// modes change neither and return false.
bool widen_dfir(int32_t mode, int ch, int64_t& r, int64_t& phase) {
    switch (mode) {
        case 0:
            phase = 0;
            return true;
        case 1:
            phase = (r + 1) * (ch % 2);
            r = 2 * r + 1;
            return true;
        case 2:
            phase = (r + 1) * ch;
            r = 4 * r + 3;
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string ConfigureReport::summary() const {
    constexpr size_t kKeysShown = 5;
    constexpr size_t kProblemsShown = 3;
    std::string text;
    if (!missing_keys.empty()) {
        const size_t slash = file.find_last_of("/\\");
        text = slash == std::string::npos ? file : file.substr(slash + 1);
        if (text.empty()) text = "configuration";
        const size_t n = missing_keys.size();
        text += ": " + std::to_string(n) + (n == 1 ? " key missing: " : " keys missing: ");
        for (size_t i = 0; i < std::min(n, kKeysShown); ++i)
            text += (i > 0 ? ", " : "") + missing_keys[i];
        if (n > kKeysShown) text += ", \u2026";
    }
    if (!file_problems.empty()) {
        if (!text.empty()) text += "\n";
        const size_t n = file_problems.size();
        for (size_t i = 0; i < std::min(n, kProblemsShown); ++i)
            text += (i > 0 ? " " : "") + file_problems[i];
        if (n > kProblemsShown)
            text += " (" + std::to_string(n - kProblemsShown) + " more file problems)";
    }
    return text;
}

std::string board_lost_text(int error) {
    return "The board stopped answering while it was being configured (error " +
           std::to_string(error) + ": " + std::strerror(-error) + ").";
}

conf_agent_::conf_agent_(QV_board_& board, const std::string& path) : board_(&board), path_(path) {
    reader_.load(path);
}

conf_agent_::conf_agent_(const std::string& path) : board_(nullptr), path_(path) {
    reader_.load(path);
}

int conf_agent_::set_reg(int32_t address, int32_t value) {
    image_[address] = value;
    if (board_ == nullptr) return 0;
    // A lost board would fail every further write after its time-out.
    if (board_error_ != 0) return board_error_;
    const int rc = board_->write_reg(address, value);
    if (rc < 0) board_error_ = rc;
    return rc;
}

std::string conf_agent_::coefficient_path(const std::string& file) const {
    if (coefficient_dir_.empty() || file.empty() || file[0] == '/') return file;
    return coefficient_dir_ + "/" + file;
}

void conf_agent_::progress(const char* format, ...) const {
    if (progress_ == nullptr) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(progress_, format, args);
    va_end(args);
}

void conf_agent_::note_file_problem(const std::string& text) {
    if (std::find(file_problems_.begin(), file_problems_.end(), text) == file_problems_.end())
        file_problems_.push_back(text);
}

void conf_agent_::check_coefficients(int count, int32_t order, const std::string& file,
                                     const std::string& bank, const char* expr, int line) {
    if (int64_t{count} * 2 >= int64_t{order} + 1) return;
    check_report(expr, line, QV_CHECK_FILE);
    ++coeff_checks_failed_;
    // A file that could not be opened is noted already, a missing name is a
    // missing key.
    if (file.empty() || last_coefficient_file_unopened_) return;
    note_file_problem("The coefficient file \"" + qvcfg::absolute_path(coefficient_path(file)) +
                      "\" holds " + std::to_string(count) +
                      (count == 1 ? " coefficient; " : " coefficients; ") + bank + " of order " +
                      std::to_string(order) + " needs " + std::to_string((int64_t{order} + 2) / 2) +
                      ".");
}

ConfigureReport conf_agent_::report() const {
    ConfigureReport r;
    r.file = path_;
    const load_result_& load = reader_.load_result();
    r.loaded = load.error == 0;
    if (load.error != 0)
        r.error = load.message;
    else if (board_error_ != 0)
        r.error = board_lost_text(board_error_);
    r.missing_keys = reader_.missing_keys();
    r.file_problems = load.unopened;
    r.file_problems.insert(r.file_problems.end(), file_problems_.begin(), file_problems_.end());
    r.warnings = warnings_;
    r.check_reports = check_reports();
    return r;
}

int32_t conf_agent_::image_reg(int32_t address) {
    return image_[address];  // enters 0 for an address never written
}

int conf_agent_::setup_rx(const std::string& name) {
    {
        reader_.set_section(name + ".ADC_CFG");
        auto keys = look_up(reader_, kAdcCfgKeys);
        const int32_t v = pack(keys);
        progress("ADC_CFG=0x%.4x,enc_dir=%d \n", static_cast<unsigned>(v),
                 static_cast<int32_t>(keys["enc_dir"]));
        set_reg(kRegAdcCfg, v);
    }
    {
        reader_.set_section(name + ".RX_CFG");
        const int32_t v = pack(look_up(reader_, kRxCfgKeys));
        progress("RX_CFG=0x%.4x\n", static_cast<unsigned>(v));
        set_reg(kRegRxCfg, v);
    }
    {
        reader_.set_section(name + ".RX_FIFO_THRESH");
        int32_t value = 0;
        GETVAR(value);
        set_reg(kRegRxFifoThresh, value);  // whole number, not a field
    }
    {
        reader_.set_section(name + ".RX_LINK");
        set_reg(kRegRxLink, pack(look_up(reader_, kRxLinkKeys)));
    }
    for (int n = 1; n <= 4; ++n) {
        reader_.set_section(name + ".RX" + std::to_string(n) + "_LCFG");
        auto keys = look_up(reader_, kLcfgKeys);
        const int32_t v = pack(keys);
        progress("LCFG%d=0x%.4x, src=%d, on=%d\n", n, static_cast<unsigned>(v),
                 static_cast<int32_t>(keys["src"]), static_cast<int32_t>(keys["on"]));
        set_reg(reg_addr(n - 1, kOffLcfg), v);
    }
    return 0;
}

int conf_agent_::setup_channel(int ch, const std::string& name) {
    {
        reader_.set_section(name + ".HTRD");
        int32_t pdith_en = 0, nco_phase = 0;
        uint32_t nco_frq = 0;
        GETVAR(pdith_en);
        GETVAR(nco_phase);
        GETVAR(nco_frq);
        // The channel's own dither bit replaces the one of its LCFG section.
        const uint32_t lcfg_value = static_cast<uint32_t>(image_reg(reg_addr(ch, kOffLcfg)));
        set_reg(reg_addr(ch, kOffLcfg),
                static_cast<int32_t>(set_field(lcfg_value, lcfg::kPdithEn, pdith_en)));
        set_reg(reg_addr(ch, kOffNcoPhase), nco_phase);
        set_reg(reg_addr(ch, kOffNcoLow), static_cast<int32_t>(nco_frq & 0xFFFFu));
        set_reg(reg_addr(ch, kOffNcoHigh), static_cast<int32_t>(nco_frq >> 16));
    }
    {
        reader_.set_section(name + ".CIC2");
        auto keys = look_up(reader_, kCic2Keys);
        // Automatic scale: the CIC2 gain 4*R^2 grows by 2 bits per octave of R.
        if (keys["scl"] < 0 && keys["mode"] != 0) keys["scl"] = 14 - 2 * ceil_log2(keys["dr"] + 1);
        set_reg(reg_addr(ch, kOffCic2), pack(keys));
    }
    {
        reader_.set_section(name + ".CICN");
        auto keys = look_up(reader_, kCicnKeys);
        // Automatic scale: R^(mode+3) grows by mode+3 bits per octave of R;
        // past the 4-bit field the extra 8-bit attenuation (scl_mx) takes over.
        if (keys["scl"] < 0 && keys["mode"] != 0) {
            int64_t s = 16 - int64_t{ceil_log2(keys["dr"] + 1)} * (keys["mode"] + 3);
            keys["scl_mx"] = 0;
            if (s < 0) {
                s += 8;
                keys["scl_mx"] = 1;
            }
            keys["scl"] = s;
        }
        set_reg(reg_addr(ch, kOffCicn), pack(keys));
    }

    // DFIR phase and ratio: with several channels sharing one FIR (receive
    // configuration modes 1 and 2) the ratio field and the start phase of
    // each channel are widened. Mode 3 leaves the ratio and uses phase 0.
    int64_t phase = 0;
    {
        reader_.set_section(name + ".DFIR1");
        auto control = look_up(reader_, kDfir1ControlKeys);
        auto scale = look_up(reader_, kDfir1ScaleKeys);
        std::string file_coef;
        GETVAR(file_coef);
        if (!widen_dfir(get_field(static_cast<uint32_t>(image_reg(kRegRxCfg)), rx_cfg::kMode), ch,
                        control["dr"], phase))
            phase = 0;
        set_reg(reg_addr(ch, kOffDfir1Ctl), pack(control, set_field(0, dfir::kPhase, phase)));
        set_reg(reg_addr(ch, kOffDfir1Scl), pack(scale));
        const int32_t order = static_cast<int32_t>(control["order"]);
        check_coefficients(load_fir_coeff_from_file(ch, 0, file_coef), order, file_coef,
                           name + ".DFIR1", "load_fir_coeff_from_file(ch, 0, file_coef)*2>=order+1",
                           __LINE__);
    }
    {
        reader_.set_section(name + ".DFIR2");
        auto control = look_up(reader_, kDfir2ControlKeys);
        auto scale = look_up(reader_, kDfir2ScaleKeys);
        std::string file_coef;
        GETVAR(file_coef);
        // Selected by the whole receive configuration value; any value other
        // than 0, 1, 2 keeps DFIR1's phase.
        widen_dfir(image_reg(kRegRxCfg), ch, control["dr"], phase);
        set_reg(reg_addr(ch, kOffDfir2Ctl), pack(control, set_field(0, dfir::kPhase, phase)));
        set_reg(reg_addr(ch, kOffDfir2Scl), pack(scale));
        const int32_t order = static_cast<int32_t>(control["order"]);
        check_coefficients(load_fir_coeff_from_file(ch, 1, file_coef), order, file_coef,
                           name + ".DFIR2", "load_fir_coeff_from_file(ch, 1, file_coef)*2>=order+1",
                           __LINE__);
    }
    {
        reader_.set_section(name + ".GAIN");
        int32_t I = 0, Q = 0;
        GETVAR(I);
        GETVAR(Q);
        set_reg(reg_addr(ch, kOffGainI), I);
        set_reg(reg_addr(ch, kOffGainQ), Q);
    }
    return 0;
}

int conf_agent_::load_fir_coeff_from_file(int ch, int which, const std::string& name) {
    const std::string file = coefficient_path(name);
    qvcfg::CoeffFile coefficients;
    const int rc = qvcfg::read_coeff_file(file, kBankCoefficients, coefficients);
    last_coefficient_file_unopened_ = rc != 0;
    if (rc != 0) {
        if (!file.empty())
            note_file_problem(qvcfg::cannot_open_text("coefficient file", file, -rc));
        return 0;
    }
    // A file used for several banks is warned about once.
    if (std::find(warned_files_.begin(), warned_files_.end(), file) == warned_files_.end()) {
        warned_files_.push_back(file);
        for (const std::string& w : coefficients.warnings) {
            std::fprintf(stderr, "%s\n", w.c_str());
            warnings_.push_back(w);
        }
    }
    int32_t a = reg_addr(ch, which == 0 ? kOffDfir1Bank : kOffDfir2Bank);
    for (int32_t value : coefficients.values) {
        set_reg(a, value);
        set_reg(a + 1, 0);
        a += 2;
    }
    return static_cast<int>(coefficients.values.size());
}

int conf_agent_::setup_sections() {
    static const char* const kChannels[] = {"CH1", "CH2", "CH3", "CH4"};
    setup_rx("RX");
    for (int ch = 0; ch < 4 && board_error_ == 0; ++ch) setup_channel(ch, kChannels[ch]);
    return board_error_;
}

int conf_agent_::dump_regs(std::FILE* out) const {
    std::fprintf(out, "struct QV_reg_ config [] ={\n");
    for (const auto& [address, value] : image_)
        std::fprintf(out, "{0x%.4x, 0x%.4x},\n", static_cast<unsigned>(address),
                     static_cast<unsigned>(value) & 0xFFFFu);
    std::fprintf(out, "{-1, 0} };\n");
    return std::ferror(out) ? -EIO : 0;
}

int conf_agent_::dump_regs(const std::string& path) const {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return -errno;
    dump_regs(f);
    return std::fclose(f);
}

// Register 4 all ones (every channel's overflow flags cleared), receive mode
// 2, reset, coefficients and NCO sync, then the stream of channel 0 is enabled
// before the receiver runs. Stops at the first failed board call and returns
// its error.
int start_receiver(QV_board_& board) {
    int rc = board.write_reg(kRegFlagClear, 0xFFFF);
    if (rc >= 0) rc = board.set_rx_mode(2);
    for (int32_t v : {kCmdReset, kCmdLoadCoef, kCmdNcoSync})
        if (rc >= 0) rc = board.write_reg(kRegControl, v);
    if (rc >= 0) rc = board.stream_control(1, 0);
    if (rc >= 0) rc = board.write_reg(kRegControl, kCmdStart);
    return std::min(rc, 0);
}

namespace {

enum class front_end { qv01_fm, tunerdesk };

int run_configure(QV_board_* board, const std::string& path, front_end variant,
                  const std::function<void()>& announce_filters, ConfigureReport* report) {
    ConfigureReport unused;
    ConfigureReport& rep = report != nullptr ? *report : unused;
    rep = ConfigureReport{};
    rep.file = path;
    if (board == nullptr) {
        rep.error = "No board is open.";
        return qv::kErrInvalid;
    }
    {
        conf_agent_ agent(*board, path);
        if (agent.load_error() != 0) {
            // A configuration cut short must not reach the chip.
            rep = agent.report();
            return agent.load_error();
        }
        int rc;
        if (variant == front_end::qv01_fm) {
            rc = board->set_bus_timing(5000);
            if (rc >= 0) rc = board->set_lines(1, 3);  // nMisk and nLoad high
        } else {
            rc = board->set_bus_control(4);
        }
        if (rc >= 0) rc = agent.setup_sections();
        if (rc >= 0 && variant == front_end::qv01_fm) agent.dump_regs("config.c");
        rep = agent.report();
        if (rc < 0) {
            rep.error = board_lost_text(rc);
            return rc;
        }
    }
    if (announce_filters) announce_filters();
    if (int rc = start_receiver(*board); rc < 0) {
        rep.error = board_lost_text(rc);
        return rc;
    }
    return rep.check_reports;
}

}  // namespace

int configure_chip(QV_board_* board, const std::string& path,
                   const std::function<void()>& announce_filters, ConfigureReport* report) {
    return run_configure(board, path, front_end::qv01_fm, announce_filters, report);
}

int configure_chip_classic(QV_board_* board, const std::string& path, ConfigureReport* report) {
    return run_configure(board, path, front_end::tunerdesk, {}, report);
}
