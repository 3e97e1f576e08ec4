#include "conf_agent.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "coeff_file.h"
#include "qv_board.h"

// Source file named in the check reports of the GETVAR lookups.
#define QV_CHECK_FILE "conf_agent"

using namespace qvreg;

namespace {

// Sets bits shift .. shift+width-1 of `reg` to `value`, cut to the field width.
int32_t put_field(int32_t reg, int64_t value, int shift, int width)
{
    const uint32_t mask = ((1u << width) - 1u) << shift;
    uint32_t r = static_cast<uint32_t>(reg) & ~mask;
    r |= (static_cast<uint32_t>(value) << shift) & mask;
    return static_cast<int32_t>(r);
}

// Smallest j in 0..32 with 2^j >= ratio (dr + 1); 32 when none is.
int ceil_log2(int64_t ratio)
{
    for (int j = 0; j <= 32; ++j)
        if ((int64_t{1} << j) >= ratio)
            return j;
    return 32;
}

// DFIR ratio and start phase for receive configuration `mode` 0, 1 or 2
// (channels sharing one FIR get a widened ratio and their own phase); other
// modes change neither and return false.
bool widen_dfir(int32_t mode, int ch, int64_t& r, int64_t& phase)
{
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

std::string ConfigureReport::summary() const
{
    constexpr size_t kKeysShown = 5;
    constexpr size_t kProblemsShown = 3;
    std::string text;
    if (!missing_keys.empty()) {
        const size_t slash = file.find_last_of("/\\");
        text = slash == std::string::npos ? file : file.substr(slash + 1);
        if (text.empty())
            text = "configuration";
        const size_t n = missing_keys.size();
        text += ": " + std::to_string(n) + (n == 1 ? " key missing: " : " keys missing: ");
        for (size_t i = 0; i < std::min(n, kKeysShown); ++i)
            text += (i > 0 ? ", " : "") + missing_keys[i];
        if (n > kKeysShown)
            text += ", \u2026";
    }
    if (!file_problems.empty()) {
        if (!text.empty())
            text += "\n";
        const size_t n = file_problems.size();
        for (size_t i = 0; i < std::min(n, kProblemsShown); ++i)
            text += (i > 0 ? " " : "") + file_problems[i];
        if (n > kProblemsShown)
            text += " (" + std::to_string(n - kProblemsShown) + " more file problems)";
    }
    return text;
}

std::string board_lost_text(int error)
{
    return "The board stopped answering while it was being configured (error " + std::to_string(error) +
           ": " + std::strerror(-error) + ").";
}

conf_agent_::conf_agent_(QV_board_& board, const std::string& path) : board_(&board), path_(path)
{
    reader_.load(path);
}

conf_agent_::conf_agent_(const std::string& path) : board_(nullptr), path_(path)
{
    reader_.load(path);
}

int conf_agent_::set_reg(int32_t address, int32_t value)
{
    image_[address] = value;
    if (board_ == nullptr)
        return 0;
    // A lost board would fail every further write after its time-out.
    if (board_error_ != 0)
        return board_error_;
    const int rc = board_->write_reg(address, value);
    if (rc < 0)
        board_error_ = rc;
    return rc;
}

void conf_agent_::note_file_problem(const std::string& text)
{
    if (std::find(file_problems_.begin(), file_problems_.end(), text) == file_problems_.end())
        file_problems_.push_back(text);
}

void conf_agent_::check_coefficients(int count, int32_t order, const std::string& file,
                                     const std::string& bank, const char* expr, int line)
{
    if (int64_t{count} * 2 >= int64_t{order} + 1)
        return;
    check_report(expr, line, QV_CHECK_FILE);
    ++coeff_checks_failed_;
    // A file that could not be opened is noted already, a missing name is a
    // missing key.
    if (file.empty() || last_coefficient_file_unopened_)
        return;
    note_file_problem("The coefficient file \"" + qvcfg::absolute_path(file) + "\" holds " +
                      std::to_string(count) + (count == 1 ? " coefficient; " : " coefficients; ") + bank +
                      " of order " + std::to_string(order) + " needs " +
                      std::to_string((int64_t{order} + 2) / 2) + ".");
}

ConfigureReport conf_agent_::report() const
{
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

void conf_agent_::write_dfir(int32_t control, int32_t scale, int32_t sym, int32_t order, int64_t r,
                             int64_t phase, int32_t scl)
{
    int32_t v = 0;
    v = put_field(v, sym, 14, 1);
    v = put_field(v, order, 8, 6);
    v = put_field(v, r, 0, 4);
    v = put_field(v, phase, 4, 4);
    set_reg(control, v);
    set_reg(scale, put_field(0, scl, 0, 4));
}

int32_t conf_agent_::image_reg(int32_t address)
{
    return image_[address];  // enters 0 for an address never written
}

int conf_agent_::setup_rx(const std::string& name)
{
    {
        reader_.set_section(name + ".ADC_CFG");
        int32_t enc_mode = 0, enc_dir = 0, enc_phase = 0, enc_div = 0, int_adc_oe = 0;
        int32_t int_adc4_on = 0, int_adc3_on = 0, int_adc2_on = 0, int_adc1_on = 0;
        GETVAR(enc_mode);
        GETVAR(enc_dir);
        GETVAR(enc_phase);
        GETVAR(enc_dir);
        GETVAR(enc_div);
        GETVAR(int_adc_oe);
        GETVAR(int_adc4_on);
        GETVAR(int_adc3_on);
        GETVAR(int_adc2_on);
        GETVAR(int_adc1_on);
        int32_t v = 0;
        v = put_field(v, enc_mode, 14, 1);
        v = put_field(v, enc_phase, 13, 1);
        v = put_field(v, enc_dir, 12, 1);
        v = put_field(v, enc_div, 8, 4);
        v = put_field(v, int_adc_oe, 7, 1);
        v = put_field(v, int_adc4_on, 3, 1);
        v = put_field(v, int_adc3_on, 2, 1);
        v = put_field(v, int_adc2_on, 1, 1);
        v = put_field(v, int_adc1_on, 0, 1);
        std::printf("ADC_CFG=0x%.4x,enc_dir=%d \n", static_cast<unsigned>(v), enc_dir);
        set_reg(kAdcCfg, v);
    }
    {
        reader_.set_section(name + ".RX_CFG");
        int32_t wr_all = 0, out_fmt = 0, mode = 0, in_type = 0, in_fmt = 0;
        GETVAR(wr_all);
        GETVAR(out_fmt);
        GETVAR(mode);
        GETVAR(in_type);
        GETVAR(in_fmt);
        int32_t v = 0;
        v = put_field(v, wr_all, 15, 1);
        v = put_field(v, out_fmt, 8, 1);
        v = put_field(v, mode, 6, 2);
        v = put_field(v, in_type, 3, 3);
        v = put_field(v, in_fmt, 0, 2);
        std::printf("RX_CFG=0x%.4x\n", static_cast<unsigned>(v));
        set_reg(kRxCfg, v);
    }
    {
        reader_.set_section(name + ".RX_FIFO_THRESH");
        int32_t value = 0;
        GETVAR(value);
        set_reg(kRxFifoThresh, value);  // whole number, not a field
    }
    {
        reader_.set_section(name + ".RX_LINK");
        int32_t link_div = 0, link_type = 0, link_on = 0;
        GETVAR(link_div);
        GETVAR(link_type);
        GETVAR(link_on);
        int32_t v = 0;
        v = put_field(v, link_div, 4, 2);
        v = put_field(v, link_type, 1, 2);
        v = put_field(v, link_on, 0, 1);
        set_reg(kRxLink, v);
    }
    for (int n = 1; n <= 4; ++n) {
        reader_.set_section(name + ".RX" + std::to_string(n) + "_LCFG");
        int32_t on = 0, pdith_en = 0, src = 0, fgain_inte = 0, dfir2_inte = 0;
        int32_t dfir1_inte = 0, cicn_inte = 0, cic2_inte = 0;
        GETVAR(on);
        GETVAR(pdith_en);
        GETVAR(src);
        GETVAR(fgain_inte);
        GETVAR(dfir2_inte);
        GETVAR(dfir1_inte);
        GETVAR(cicn_inte);
        GETVAR(cic2_inte);
        int32_t v = 0;
        v = put_field(v, on, 15, 1);
        v = put_field(v, pdith_en, 14, 1);
        v = put_field(v, src, 8, 2);
        v = put_field(v, fgain_inte, 4, 1);
        v = put_field(v, dfir2_inte, 3, 1);
        v = put_field(v, dfir1_inte, 2, 1);
        v = put_field(v, cicn_inte, 1, 1);
        v = put_field(v, cic2_inte, 0, 1);
        std::printf("LCFG%d=0x%.4x, src=%d, on=%d\n", n, static_cast<unsigned>(v), src, on);
        set_reg(kLcfg + kChannelStride * (n - 1), v);
    }
    return 0;
}

int conf_agent_::setup_channel(int ch, const std::string& name)
{
    const int32_t base = kChannelStride * ch;
    {
        reader_.set_section(name + ".HTRD");
        int32_t pdith_en = 0, nco_phase = 0;
        uint32_t nco_frq = 0;
        GETVAR(pdith_en);
        GETVAR(nco_phase);
        GETVAR(nco_frq);
        // The channel's own dither bit replaces the one of its LCFG section.
        set_reg(base + kLcfg, put_field(image_reg(base + kLcfg), pdith_en, 14, 1));
        set_reg(base + kNcoPhase, nco_phase);
        set_reg(base + kNcoFreqLow, static_cast<int32_t>(nco_frq & 0xFFFFu));
        set_reg(base + kNcoFreqHigh, static_cast<int32_t>(nco_frq >> 16));
    }
    {
        reader_.set_section(name + ".CIC2");
        int32_t mode = 0, scl = 0, dr = 0;
        GETVAR(mode);
        GETVAR(scl);
        GETVAR(dr);
        int32_t v = 0;
        v = put_field(v, mode, 15, 1);
        v = put_field(v, dr, 8, 7);
        // Automatic scale: the CIC2 gain 4*R^2 grows by 2 bits per octave of R.
        int64_t s = scl;
        if (scl < 0 && mode != 0)
            s = 14 - 2 * ceil_log2(int64_t{dr} + 1);
        v = put_field(v, s, 0, 4);
        set_reg(base + kCic2, v);
    }
    {
        reader_.set_section(name + ".CICN");
        int32_t mode = 0, scl = 0, dr = 0, scl_mx = 0;
        GETVAR(mode);
        GETVAR(scl);
        GETVAR(dr);
        GETVAR(scl_mx);
        int32_t v = 0;
        v = put_field(v, mode, 14, 2);
        v = put_field(v, dr, 8, 6);
        // Automatic scale: R^(mode+3) grows by mode+3 bits per octave of R;
        // past the 4-bit field the extra 8-bit attenuation (scl_mx) takes over.
        int64_t s = scl;
        int64_t mx = scl_mx;
        if (scl < 0 && mode != 0) {
            s = 16 - int64_t{ceil_log2(int64_t{dr} + 1)} * (int64_t{mode} + 3);
            mx = 0;
            if (s < 0) {
                s += 8;
                mx = 1;
            }
        }
        v = put_field(v, s, 0, 4);
        v = put_field(v, mx, 4, 1);
        set_reg(base + kCicn, v);
    }

    // DFIR phase and ratio: with several channels sharing one FIR (receive
    // configuration modes 1 and 2) the ratio field and the start phase of
    // each channel are widened. Mode 3 leaves the ratio and uses phase 0.
    int64_t phase = 0;
    {
        reader_.set_section(name + ".DFIR1");
        int32_t order = 0, sym = 0, dr = 0, scl = 0;
        std::string file_coef;
        GETVAR(order);
        GETVAR(sym);
        GETVAR(dr);
        GETVAR(scl);
        GETVAR(file_coef);
        int64_t r = dr;
        if (!widen_dfir(image_reg(kRxCfg) >> 6 & 3, ch, r, phase)) phase = 0;
        write_dfir(base + kDfir1Ctrl, base + kDfir1Scale, sym, order, r, phase, scl);
        check_coefficients(load_fir_coeff_from_file(ch, 0, file_coef), order, file_coef, name + ".DFIR1",
                           "load_fir_coeff_from_file(ch, 0, file_coef)*2>=order+1", __LINE__);
    }
    {
        reader_.set_section(name + ".DFIR2");
        int32_t order = 0, sym = 0, dr = 0, scl = 0;
        std::string file_coef;
        GETVAR(order);
        GETVAR(sym);
        GETVAR(dr);
        GETVAR(scl);
        GETVAR(file_coef);
        // Selected by the whole receive configuration value; any value other
        // than 0, 1, 2 keeps DFIR1's phase.
        int64_t r = dr;
        widen_dfir(image_reg(kRxCfg), ch, r, phase);
        write_dfir(base + kDfir2Ctrl, base + kDfir2Scale, sym, order, r, phase, scl);
        check_coefficients(load_fir_coeff_from_file(ch, 1, file_coef), order, file_coef, name + ".DFIR2",
                           "load_fir_coeff_from_file(ch, 1, file_coef)*2>=order+1", __LINE__);
    }
    {
        reader_.set_section(name + ".GAIN");
        int32_t I = 0, Q = 0;
        GETVAR(I);
        GETVAR(Q);
        set_reg(base + kGainI, I);
        set_reg(base + kGainQ, Q);
    }
    return 0;
}

int conf_agent_::load_fir_coeff_from_file(int ch, int which, const std::string& file)
{
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
    int32_t a = kChannelStride * ch + (which == 0 ? kDfir1Bank : kDfir2Bank);
    for (int32_t value : coefficients.values) {
        set_reg(a, value);
        set_reg(a + 1, 0);
        a += 2;
    }
    return static_cast<int>(coefficients.values.size());
}

int conf_agent_::setup_sections()
{
    static const char* const kChannels[] = {"CH1", "CH2", "CH3", "CH4"};
    setup_rx("RX");
    for (int ch = 0; ch < 4 && board_error_ == 0; ++ch)
        setup_channel(ch, kChannels[ch]);
    return board_error_;
}

int conf_agent_::dump_regs(std::FILE* out) const
{
    std::fprintf(out, "struct QV_reg_ config [] ={\n");
    for (const auto& [address, value] : image_)
        std::fprintf(out, "{0x%.4x, 0x%.4x},\n", static_cast<unsigned>(address),
                     static_cast<unsigned>(value) & 0xFFFFu);
    std::fprintf(out, "{-1, 0} };\n");
    return std::ferror(out) ? -EIO : 0;
}

int conf_agent_::dump_regs(const std::string& path) const
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return -errno;
    dump_regs(f);
    return std::fclose(f);
}

namespace {

enum class front_end { qv01_fm, tunerdesk };

// Register 4 all ones, receive mode 2, the control sequence, then the stream
// of channel 0 is enabled before the receiver runs. Stops at the first failed
// board call and returns its error.
int start_receiver(QV_board_& board)
{
    int rc = board.write_reg(kControl4, 0xFFFF);
    if (rc >= 0)
        rc = board.set_rx_mode(2);
    for (int32_t v : {0x8002, 0x8004, 0x8100})
        if (rc >= 0)
            rc = board.write_reg(kControl, v);
    if (rc >= 0)
        rc = board.stream_control(1, 0);
    if (rc >= 0)
        rc = board.write_reg(kControl, 0x8001);
    return std::min(rc, 0);
}

int run_configure(QV_board_* board, const std::string& path, front_end variant,
                  const std::function<void()>& announce_filters, ConfigureReport* report)
{
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
            if (rc >= 0)
                rc = board->set_lines(1, 3);  // nMisk and nLoad high
        } else {
            rc = board->set_bus_control(4);
        }
        if (rc >= 0)
            rc = agent.setup_sections();
        if (rc >= 0 && variant == front_end::qv01_fm)
            agent.dump_regs("config.c");
        rep = agent.report();
        if (rc < 0) {
            rep.error = board_lost_text(rc);
            return rc;
        }
    }
    if (announce_filters)
        announce_filters();
    if (int rc = start_receiver(*board); rc < 0) {
        rep.error = board_lost_text(rc);
        return rc;
    }
    return rep.check_reports;
}

}  // namespace

int configure_chip(QV_board_* board, const std::string& path,
                   const std::function<void()>& announce_filters, ConfigureReport* report)
{
    return run_configure(board, path, front_end::qv01_fm, announce_filters, report);
}

int configure_chip_classic(QV_board_* board, const std::string& path, ConfigureReport* report)
{
    return run_configure(board, path, front_end::tunerdesk, {}, report);
}
