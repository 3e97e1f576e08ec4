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

// Reading context of one file of a load (the top-level file or a file opened by
// a directive). The scanner keeps a stack of them; the reader keeps the
// top-level one.
struct include_frame_ {
    const include_frame_* parent = nullptr;  // includer's context, none for the top-level file
    std::string section_path;                // "" or ".A.B": current section
    std::string prefix;                      // what section headers of this file are appended to
    std::string filter;                      // "" or the required start of every full name stored
    std::string file_name;                   // as written in the directive (top level: load path)
    std::string directory;                   // directives in this file resolve against it
    int depth = 0;                           // 0 for the top-level file
};

class config_reader_ {
public:
    using store_type = std::map<std::string, std::string>;

    config_reader_();

    // Empties the store, reads the file at `path` (relative to the working
    // directory) and every file its directives open, storing each assignment.
    // A file that cannot be opened leaves the store empty and prints nothing.
    // Bad input is reported on standard output (unrecognized characters,
    // unopenable directive files); a read error or a token longer than the
    // scanner's 16384-byte buffer prints its message on standard error and ends
    // this load early, keeping the values stored so far.
    void load(const std::string& path);

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

private:
    store_type store_;
    std::string section_;  // "" or ending in "."
    include_frame_ top_;
    mutable int failed_lookups_ = 0;
};

// Prints the non-fatal check report "Failed <expr> at line <line> file <file>\n"
// on standard output. Processing goes on after it.
void check_report(const char* expr, int line, const char* file);

// Looks up the variable's own name in the reader's current section, with the
// lookup matching the variable's type (int32_t, uint32_t or std::string).
// Needs a config_reader_ named `reader_` and a string `QV_CHECK_FILE` naming the
// source file for the report, both in scope.
#define GETVAR(x) reader_.getvar(#x, x, __LINE__, QV_CHECK_FILE)
