// FIR coefficient files: plain text holding numbers separated by white space
// (blanks, tabs, line ends), each converted like a configuration value
// ("0x" hexadecimal, leading "0" octal, else decimal, optional sign).
//
// Threads: no shared state; any thread may read any file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvcfg {

// A chip coefficient register holds 16 bits; values outside this range keep
// their low 16 bits.
constexpr int32_t kCoeffMin = -32768;
constexpr int32_t kCoeffMax = 32767;

struct CoeffFile {
    // The first white-space separated tokens of the file, at most `max` of
    // them, each converted like a configuration value (a token that is not a
    // number converts as far as it goes: "x9" is 0, "1.5" is 1).
    std::vector<int32_t> values;
    // Line (from 1) on which each value's token starts.
    std::vector<int> lines;
    // Tokens that are not wholly a number or whose value lies outside
    // kCoeffMin..kCoeffMax, one sentence each with the file's absolute path
    // and the line: `"/abs/c.txt", line 2: coefficient "x9" is not a number,
    // written as 0.`; after five of them one sentence counts the rest. A read
    // error after the file was opened adds a sentence too.
    std::vector<std::string> warnings;
};

// Reads up to `max` coefficients of the file at `path` (relative to the
// working directory) into `out` (cleared first). Prints nothing. Returns 0,
// or the negated errno when the file cannot be opened (-EISDIR for a
// directory, -EINVAL for a FIFO, device or socket, which are not waited for),
// with `out` empty.
int read_coeff_file(const std::string& path, int max, CoeffFile& out);

}  // namespace qvcfg
