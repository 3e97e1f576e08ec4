// State of one load of the configuration scanner, shared between the
// flex-generated scanner (config_scanner.l) and config_reader_.
#pragma once

#include <sys/types.h>

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "config_reader.h"

namespace qvcfg {

// The variable name of an assignment is cut to this many characters.
constexpr size_t kMaxVarName = 1000;

// Every open file has its own input buffer of this size, refilled with at most
// kReadChunk bytes per read. The buffer is never enlarged, so a single token
// (name, value, line comment) must fit into it.
constexpr int kBufferSize = 16384;
constexpr int kReadChunk = 8192;

// A directive in a file this deep (the top-level file is 0) ends the load.
constexpr int kMaxDepth = 100;
// Files one load may open, the top-level file included. Each file including
// the next one twice would otherwise double the work with every level; a
// directive that would open one more ends the load.
constexpr int kMaxFilesPerLoad = 1000;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// One entry of the context stack. The top-level frame belongs to the reader;
// frames of directive files are owned here.
struct OpenFile {
    include_frame_* frame = nullptr;
    std::unique_ptr<include_frame_> owned;
    FilePtr file;
    // Identity of the file, to name an include cycle.
    dev_t device = 0;
    ino_t inode = 0;
};

struct ScanState {
    config_reader_::store_type* store = nullptr;
    std::vector<OpenFile> stack;  // back() is the current context
    include_frame_ pending;       // context being built by a directive
    bool pending_source = false;  // "#source" (true) or "#include" (false)
    std::string var_name;         // pending variable name of an assignment
    std::jmp_buf fatal;           // scanner errors end the load through here
    bool failed = false;          // a fatal scanner error ended the load
    int files_opened = 1;         // the top-level file counts
    // Why the load ended early (scanner error, a directory, too deep a
    // directive, too many files): negative error number, and the sentence
    // `"<absolute path>", line <n>: <message>.` naming the file being read.
    int stop_error = 0;
    std::string stop_text;
    // Directive files that could not be opened, as sentences for the user.
    std::vector<std::string> unopened;

    include_frame_& current() { return *stack.back().frame; }
};

// Runs the scanner over the already opened top-level file `top`, whose frame
// is state.stack[0]. Returns 0 when the top-level file was read to its end, or
// state.stop_error when a read error, an over-long token, an allocation
// failure, a directive naming a directory, a directive too deep or one file
// too many ended the load; state.stop_text then says where and why, and is
// already printed as one line on standard error.
int scan(ScanState& state, std::FILE* top);

// Directory part of a path: everything before the last '/' or '\', or ".".
std::string directory_of(const std::string& path);

}  // namespace qvcfg
