// qv-radio's command line: what the user asked for, checked before anything
// touches a board, a file or the sound server. Plain functions; no I/O.
#pragma once

#include <string>

namespace qvradio {

// The programs' band: 100 to 110 MHz in 100 kHz steps.
constexpr double kScanFromHz = 100e6, kScanToHz = 110e6, kScanStepHz = 100e3;
// Most steps one scan may take.
constexpr int kMaxScanSteps = 100000;

struct Options {
    enum class Action { run, scan, help, version };
    Action action = Action::run;

    double frequency_hz = 0.0;  // -f
    std::string output;         // -o FILE, "-" for raw PCM on standard output
    bool play = false;          // play through the sound server
    std::string iq_output;      // --iq FILE
    double seconds = 0.0;       // --seconds, 0: until interrupted
    std::string config;         // --config, empty: the default search (default_files.h)
    std::string firmware;       // --firmware, the same
    bool afc = true;
    bool mono = false;
    double deemphasis_us = 75.0;
    bool quiet = false;

    double scan_from_hz = kScanFromHz, scan_to_hz = kScanToHz, scan_step_hz = kScanStepHz;
};

// A frequency: a number of Hz, or with the suffix k (kHz), M (MHz) or G (GHz):
// "103.5M", "103500k", "103500000". Returns 0 with `*hz` set, or -22 for
// anything else (also NaN, infinities and trailing characters).
int parse_frequency(const std::string& text, double* hz);

// Lowest and highest frequency accepted for tuning and scanning. The NCO
// takes any frequency modulo the chip clock; above 1 GHz there is nothing a
// front end of this board passes.
constexpr double kMinFrequencyHz = 1.0;
constexpr double kMaxFrequencyHz = 1e9;

// Parses argv[1..argc-1] into `*out`. Returns 0; or -22 with `*error` set to
// one line saying what is wrong (for the usage message). --help and
// --version set the action and end the parsing there.
int parse_options(int argc, const char* const* argv, Options* out, std::string* error);

// Usage summary (a few lines) and the full help text.
extern const char* const kUsage;
extern const char* const kHelp;

}  // namespace qvradio
