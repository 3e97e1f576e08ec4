// Configuration store of the QV01 chip configuration: named text values read
// from an ini-style file (sections, "#include" and "#source" directives) and
// typed lookups by name.
//
// Threads: one reader is used by one thread (the thread that runs the chip
// configuration). Independent readers may load concurrently: the scanner keeps
// all of its state per load.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
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

// Where the assignment that set a key was read.
struct key_place_ {
    std::string file;    // the file of the key's name, as opened, made absolute
    int line = 0;        // line of the key's name, from 1
    int value_line = 0;  // line where its value ends, in the file being read then (a quoted
                         // value may span lines; an included file may end before the value)
    size_t order = 0;    // 0, 1, ...: position among the stored assignments of the load
};

// How the last load went, in words for the user. Paths in the sentences are
// the paths opened, made absolute against the working directory.
struct load_result_ {
    // 0: the top-level file was read to its end, and with it every file its
    // directives opened. Otherwise the load did not finish: the negated errno
    // when the top-level file could not be opened (-EISDIR for a directory);
    // -EIO a read error, -EOVERFLOW a token longer than the input buffer,
    // -ENOMEM no memory for an input buffer, -ELOOP a directive in a file
    // nested 100 deep, -EMFILE a directive that would open the 1001st file of
    // the load; a directive naming a directory (-EISDIR), a FIFO, device or
    // socket (-EINVAL) or a file larger than kMaxFileBytes (-EFBIG). The top-
    // level file gives the same three errors when it is such a file.
    int error = 0;
    // Why, when error is not 0: `Cannot open the configuration file "/abs/x.ini":
    // No such file or directory (working directory: /abs).` or `"/abs/x.ini",
    // line 12: <scanner message>.` naming the file being read and its line
    // (for too deep a directive, the include cycle when there is one); empty
    // otherwise.
    std::string message;
    // A load that had opened its file and ended early: `message` is
    // `"<stop_file>", line <stop_line>: <stop_reason>.` (without the line when
    // it is 0); stop_key is the key whose value was being read there, or "".
    std::string stop_file;
    int stop_line = 0;
    std::string stop_key;
    std::string stop_reason;
    // The top-level file was opened and read from. A load that then ended
    // early has printed `message` on its error stream already; one that could
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
    // A file that cannot be opened, or is no regular file of at most
    // kMaxFileBytes, leaves the store empty and prints nothing. Bad input is
    // reported on the output stream (unrecognized characters, a NUL byte
    // shown as "\0", unopenable directive files). A read error, a token longer
    // than the scanner's 16384-byte buffer, a directive naming a directory, a
    // FIFO, a device or too large a file, a directive nested too deep or one
    // opening the 1001st file ends this load early, keeping the values stored
    // so far, and prints load_result().message as one line on the error
    // stream. No file is waited for (a FIFO is refused at once) or read past
    // the size it had when opened. A directive on a last line without line
    // end is read like any other. Returns load_result().error.
    int load(const std::string& path);
    // Outcome of the last load (error 0 before any load).
    const load_result_& load_result() const { return result_; }

    // Where later loads print: `out` takes the scanner's copied characters
    // and its reports of bad input (standard output by default), `err` the
    // line that says why a load ended early (standard error by default). A
    // null stream drops the text.
    void set_output(std::FILE* out, std::FILE* err);

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
    // Where the stored value of `key` (a whole key, no lookup section) was
    // assigned in the last load; null when it is not stored.
    const key_place_* place(const std::string& key) const;
    const std::string& section() const { return section_; }
    const include_frame_& top_frame() const { return top_; }
    // getvar calls that found nothing since construction.
    int failed_lookups() const { return failed_lookups_; }
    // Keys (section + name) of those calls, each once, in the order of their
    // first failure.
    const std::vector<std::string>& missing_keys() const { return missing_keys_; }

  private:
    store_type store_;
    std::map<std::string, key_place_> places_;
    std::FILE* out_ = stdout;
    std::FILE* err_ = stderr;
    std::string section_;  // "" or ending in "."
    include_frame_ top_;
    load_result_ result_;
    mutable int failed_lookups_ = 0;
    mutable std::vector<std::string> missing_keys_;
};

namespace qvcfg {

// Largest configuration file a load reads: the top-level file and each
// directive file.
constexpr uint64_t kMaxFileBytes = uint64_t(16) << 20;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` for reading without waiting for anything (a FIFO without a
// writer is not waited for, and is refused) and checks that it is a regular
// file of at most max_bytes. Returns 0 with `file` open and `info` its
// status; or a negative error number: the negated errno of open(2), -EISDIR a
// directory, -EINVAL no regular file (a FIFO, device or socket), -EFBIG
// larger than max_bytes.
int open_regular_file(const std::string& path, uint64_t max_bytes, FilePtr& file,
                      struct stat& info);

// What an error of open_regular_file says about the file: "is a directory",
// "is not a regular file", "is larger than <max_bytes> bytes", or "cannot be
// read: <strerror>".
std::string file_error_text(int error, uint64_t max_bytes);

// The process's working directory; "?" when it cannot be found out.
std::string working_directory();

// `path` as it is reached from the working directory: unchanged when it starts
// with '/', otherwise working directory + "/" + path without a leading "./"
// (not normalised further).
std::string absolute_path(const std::string& path);

// `Cannot open the <what> "<absolute path>" (<where>): <strerror(err)>
// (working directory: <dir>).`, without the first parenthesis when `where`
// is empty; err is a positive errno value (EINVAL: "Not a regular file",
// EFBIG: "Larger than kMaxFileBytes bytes").
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
