// Configuration store of the QV01 chip configuration: named text values read
// from an ini-style file (sections, "#include" and "#source" directives) and
// typed lookups by name.
//
// Threads: one reader is used by one thread (the thread that runs the chip
// configuration). Independent readers may load concurrently: the scanner keeps
// all of its state per load.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Reading context of one file of a load (the top-level file or a file opened by
// a directive). The scanner keeps a stack of them; the reader keeps the
// top-level one.
struct include_frame_ {
    const include_frame_* parent = nullptr;  // includer's context, none for the top-level file
    std::string section_path;                // "" or ".A.B": current section
    std::string prefix;                      // what section headers of this file are appended to
    std::string filter;                      // "" or the required start of every full name stored
    std::string file_name;                   // as written in the directive (top level: load path)
    std::string path;                        // as opened: includer's directory + "/" + file_name
    std::string directory;                   // directives in this file resolve against it
    int depth = 0;                           // 0 for the top-level file
};

// How the last load went, in words for the user. Paths in the sentences are
// the paths opened, made absolute against the working directory.
struct load_result_ {
    // 0: the top-level file was read to its end, and with it every file its
    // directives opened. Otherwise the load did not finish: the negated errno
    // when the top-level file could not be opened (-EISDIR for a directory);
    // -EIO a read error, -EOVERFLOW a token longer than the input buffer,
    // -ENOMEM no memory for an input buffer, -EISDIR a directive naming a
    // directory, -ELOOP a directive in a file nested 100 deep, -EMFILE a
    // directive that would open the 1001st file of the load.
    int error = 0;
    // Why, when error is not 0: `Cannot open the configuration file "/abs/x.ini":
    // No such file or directory (working directory: /abs).` or `"/abs/x.ini",
    // line 12: <scanner message>.` naming the file being read and its line
    // (for too deep a directive, the include cycle when there is one); empty
    // otherwise.
    std::string message;
    // The top-level file was opened and read from. A load that then ended
    // early has printed `message` on standard error already; one that could
    // not open its file has printed nothing.
    bool opened = false;
    // Directive files that could not be opened (the load went on without
    // them), one sentence each with the file's path, the directive's file
    // and line, and the working directory; in reading order.
    std::vector<std::string> unopened;
};

class config_reader_ {
public:
    using store_type = std::map<std::string, std::string>;

    config_reader_();

    // Empties the store, reads the file at `path` (relative to the working
    // directory) and every file its directives open, storing each assignment.
    // A file that cannot be opened (or is a directory) leaves the store empty
    // and prints nothing. Bad input is reported on standard output
    // (unrecognized characters, a NUL byte shown as "\0", unopenable directive
    // files). A read error, a token longer than the scanner's 16384-byte
    // buffer, a directive naming a directory, a directive nested too deep or
    // one opening the 1001st file ends this load early, keeping the values
    // stored so far, and prints load_result().message as one line on standard
    // error. A directive on a last line without line end is read like any other.
    // Returns load_result().error.
    int load(const std::string& path);
    // Outcome of the last load (error 0 before any load).
    const load_result_& load_result() const { return result_; }

    // Lookups then use the key name + "." + looked-up name.
    void set_section(const std::string& name);

    // Found: `out` receives the value text exactly as written (a quoted value
    // keeps its quotes), true. Not found: `out` unchanged, false.
    bool get_string(const std::string& name, std::string& out) const;

    // Found: `out` receives the value converted like strtol with base 0
    // ("0x" hex, leading "0" octal, else decimal; stops at the first character
    // that does not fit; no digits gives 0; clamped to the 32-bit range), true.
    // Not found: `out` unchanged, false.
    bool get_int(const std::string& name, int32_t& out) const;

    // As get_int with the unsigned conversion: "-1" gives 4294967295, numbers
    // above 4294967295 give 4294967295.
    bool get_uint(const std::string& name, uint32_t& out) const;

    // Lookup with a check report: on a missing key prints
    // "Failed GETVAR(<name>) at line <line> file <file>" on standard output and
    // leaves `out` unchanged. Used through the GETVAR macro below.
    bool getvar(const char* name, int32_t& out, int line, const char* file) const;
    bool getvar(const char* name, uint32_t& out, int line, const char* file) const;
    bool getvar(const char* name, std::string& out, int line, const char* file) const;

    // The whole store of the last load, ascending by key (byte order).
    const store_type& values() const { return store_; }
    const std::string& section() const { return section_; }
    const include_frame_& top_frame() const { return top_; }
    // getvar calls that found nothing since construction.
    int failed_lookups() const { return failed_lookups_; }
    // Keys (section + name) of those calls, each once, in the order of their
    // first failure.
    const std::vector<std::string>& missing_keys() const { return missing_keys_; }

private:
    store_type store_;
    std::string section_;  // "" or ending in "."
    include_frame_ top_;
    load_result_ result_;
    mutable int failed_lookups_ = 0;
    mutable std::vector<std::string> missing_keys_;
};

namespace qvcfg {

// The process's working directory; "?" when it cannot be found out.
std::string working_directory();

// `path` as it is reached from the working directory: unchanged when it starts
// with '/', otherwise working directory + "/" + path without a leading "./"
// (not normalised further).
std::string absolute_path(const std::string& path);

// `Cannot open the <what> "<absolute path>" (<where>): <strerror(err)>
// (working directory: <dir>).`, without the first parenthesis when `where`
// is empty; err is a positive errno value.
std::string cannot_open_text(const std::string& what, const std::string& path, int err,
                             const std::string& where = "");

}  // namespace qvcfg

// Prints the non-fatal check report "Failed <expr> at line <line> file <file>\n"
// on standard output. Processing goes on after it.
void check_report(const char* expr, int line, const char* file);

// Looks up the variable's own name in the reader's current section, with the
// lookup matching the variable's type (int32_t, uint32_t or std::string).
// Needs a config_reader_ named `reader_` and a string `QV_CHECK_FILE` naming the
// source file for the report, both in scope.
#define GETVAR(x) reader_.getvar(#x, x, __LINE__, QV_CHECK_FILE)
