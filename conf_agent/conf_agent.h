// Chip configuration agent: turns the sections of a configuration file into
// QV01 register values, writes them through the board (or, without a board,
// only into its image) and keeps a register image that it can dump as a C
// initializer ("config.c").
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
#include <vector>

#include "config_reader.h"

class QV_board_;

// What a configure run found, for the programs to show their user.
struct ConfigureReport {
    std::string file;     // the configuration file as given to the run
    bool loaded = false;  // the configuration file was read to its end (includes too)
    // Why the run stopped, one sentence: the configuration could not be read
    // (`Cannot open the configuration file "/abs/run/../config/FM_radio.ini":
    // No such file or directory (working directory: /abs/run).`), a scanner
    // error or too deep a directive ended its load (`"/abs/x/fm_channel.ini",
    // line 12: <the scanner's message>.`), or the board stopped answering
    // during the run. Empty when the run went through.
    std::string error;
    std::vector<std::string> missing_keys;  // failed lookups, each key once, in report order
    // Files that could not be used, one sentence each with the full path:
    // directive and coefficient files that could not be opened (with the
    // working directory), coefficient files too short for their filter.
    std::vector<std::string> file_problems;
    // Coefficients that are not numbers or do not fit 16 bits, one sentence
    // each with the file and line (already printed on standard error).
    std::vector<std::string> warnings;
    int check_reports = 0;  // check report lines printed
    // One or two lines for a message box, empty when there is nothing to say:
    // "FM_radio.ini: 3 keys missing: CH1.CIC2.dr, CH1.CICN.dr, CH1.DFIR1.sym"
    // (the list shortened with "…" after five keys), then the file problems.
    std::string summary() const;
};

class conf_agent_ {
  public:
    using image_type = std::map<int32_t, int32_t>;

    // Loads the configuration at `path` (relative to the working directory).
    // Nothing is printed for a file that cannot be opened, one line on
    // standard error for a load that stopped early (config_reader_::load);
    // load_error() and report() tell. Sections run on a file that did not
    // load find only the keys stored before the load stopped. Registers go to the image and to
    // `board`.
    conf_agent_(QV_board_& board, const std::string& path);
    // The same without a board: registers go to the image only, every write
    // succeeds (a configuration check needs no USB).
    explicit conf_agent_(const std::string& path);
    conf_agent_(const conf_agent_&) = delete;
    conf_agent_& operator=(const conf_agent_&) = delete;

    // image[address] = value, then the board's write_reg(address, value).
    // Returns write_reg's result (0 without a board). After a failed write
    // (negative: the board is lost) nothing more is sent to the board;
    // board_error() keeps the first failure.
    int set_reg(int32_t address, int32_t value);

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
    // numbers, path relative to the working directory, or to the coefficient
    // directory when one is set) to the DFIR1 (which = 0) or DFIR2 (which =
    // 1) bank of channel `ch`, each followed by a 0 in the pair's second
    // register. A token that is not a number is written as
    // far as it converts ("x9" as 0), a value outside -32768..32767 as it is
    // (the chip keeps its low 16 bits); both are warned about on standard
    // error with the file and line, once per file in the agent's life.
    // Returns the number of coefficients written; 0 when the file cannot be
    // opened or is a directory (nothing written, nothing printed; a file
    // problem is noted unless the name is empty).
    int load_fir_coeff_from_file(int ch, int which, const std::string& file);

    // Directory that relative coefficient file names (file_coef) are taken
    // from in place of the working directory; empty (the default): the
    // working directory, as the programs have it. For a caller that cannot
    // choose its working directory (a library inside someone else's program).
    void set_coefficient_directory(const std::string& directory) { coefficient_dir_ = directory; }
    // Where setup_rx prints its progress lines (ADC_CFG, RX_CFG, LCFG);
    // standard output by default, none with nullptr.
    void set_progress_output(std::FILE* out) { progress_ = out; }

    // The whole configuration: setup_rx("RX"), then setup_channel for
    // channels 0..3 ("CH1".."CH4"), stopping after a section in which a
    // register write failed. Returns 0 or that write's error number.
    int setup_sections();

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
    // 0 when the configuration file was read to its end, else the load's
    // negative error number (config_reader_::load).
    int load_error() const { return reader_.load_result().error; }
    // First failed register write (negative), 0 while all went through.
    int board_error() const { return board_error_; }
    // Coefficient files that could not be opened or were too short, one
    // sentence each, each sentence once.
    const std::vector<std::string>& file_problems() const { return file_problems_; }
    // Coefficient warnings printed so far (each file's once).
    const std::vector<std::string>& warnings() const { return warnings_; }
    // What the run found so far: load outcome, missing keys, file problems,
    // check reports, and a failed register write as the error.
    ConfigureReport report() const;

  private:
    // The coefficient count check of a DFIR bank: report and note a short file.
    void check_coefficients(int count, int32_t order, const std::string& file,
                            const std::string& bank, const char* expr, int line);
    void note_file_problem(const std::string& text);
    // `file` as it is opened: resolved against the coefficient directory
    // when that is set and the name is relative.
    std::string coefficient_path(const std::string& file) const;
    // One progress line of setup_rx to progress_ (nothing when it is null).
    void progress(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    QV_board_* const board_;  // null: image only
    const std::string path_;
    config_reader_ reader_;  // named for the GETVAR lookups
    image_type image_;
    int coeff_checks_failed_ = 0;
    int board_error_ = 0;
    std::vector<std::string> file_problems_;
    std::vector<std::string> warnings_;
    std::vector<std::string> warned_files_;        // coefficient files read so far
    bool last_coefficient_file_unopened_ = false;  // set by load_fir_coeff_from_file
    std::string coefficient_dir_;                  // empty: the working directory
    std::FILE* progress_ = stdout;
};

// The start of the receiver after a configuration run (the end of
// configure_chip): register 4 = 0xFFFF (overflow flags cleared), receive mode
// 2, register 5 = 0x8002, 0x8004, 0x8100, stream of channel 0 on, register 5
// = 0x8001. Stops at the first failed board call and returns its error, else 0.
int start_receiver(QV_board_& board);

// Sentence for a run ended by a failed board call with error `error`.
std::string board_lost_text(int error);

// The configure-and-start sequence of qv01_fm: agent with `path`, bus timing
// 5000 ns and both control lines high, receive-path and four channel sections,
// register dump to "config.c" in the working directory, agent gone, then
// `announce_filters` (the Filters panel reloads its controls), and the start:
// register 4 = 0xFFFF, receive mode 2, register 5 = 0x8002, 0x8004, 0x8100,
// stream of channel 0 on, register 5 = 0x8001.
// Returns the number of check reports printed (>= 0), or a negative error
// number:
// - the configuration could not be read or its load was ended by a scanner
//   error or too deep a directive: nothing is sent to the board, no
//   "config.c" is written, the receiver is not started and
//   `announce_filters` is not called;
// - a board call failed (the board is lost): the run ends there with the
//   board's error, without dump, announcement or start;
// - -22 without a board (nothing done).
// `report`, when given, receives what the run found (error set on every
// negative result).
int configure_chip(QV_board_* board, const std::string& path,
                   const std::function<void()>& announce_filters,
                   ConfigureReport* report = nullptr);

// tunerdesk's variant: set_bus_control(4) in place of the bus timing and
// lines, no dump and no announcement (its form reloads the filter controls
// itself afterwards); otherwise the same.
int configure_chip_classic(QV_board_* board, const std::string& path,
                           ConfigureReport* report = nullptr);
