// State of one load of the configuration scanner, shared between the
// flex-generated scanner (config_scanner.l) and config_reader_.
#pragma once

#include <sys/types.h>

#include <csetjmp>
#include <cstdio>
#include <map>
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

// One entry of the context stack. The top-level frame belongs to the reader;
// frames of directive files are owned here.
struct OpenFile {
    include_frame_* frame = nullptr;
    std::unique_ptr<include_frame_> owned;
    FilePtr file;
    std::string absolute;  // the path as opened, made absolute, for messages
    // Identity of the file, to name an include cycle.
    dev_t device = 0;
    ino_t inode = 0;
    // Bytes still to read: the file's size when it was opened, so that a
    // file that grows meanwhile is not read without end.
    uint64_t left = 0;
};

struct ScanState {
    config_reader_::store_type* store = nullptr;
    std::map<std::string, key_place_>* places = nullptr;  // beside the store
    std::FILE* out = nullptr;     // copied characters, bad input (null: dropped)
    std::FILE* err = nullptr;     // the line saying why the load ended early
    std::vector<OpenFile> stack;  // back() is the current context
    include_frame_ pending;       // context being built by a directive
    bool pending_source = false;  // "#source" (true) or "#include" (false)
    std::string var_name;         // pending variable name of an assignment
    std::string var_file;         // where that name was read (absolute path)
    int var_line = 0;
    bool in_value = false;  // between an assignment's name and its value
    size_t stored = 0;      // assignments stored so far
    std::jmp_buf fatal;     // scanner errors end the load through here
    int files_opened = 1;   // the top-level file counts
    // error, stop_* and message when the load ends early (scanner error, a
    // file that is no regular file, too deep a directive, too many files);
    // unopened directive files.
    load_result_ result;

    include_frame_& current() { return *stack.back().frame; }
};

// Runs the scanner over the already opened top-level file `top`, whose frame
// is state.stack[0]. Returns 0 when the top-level file was read to its end, or
// the negative error that ended the load early (state.result tells where and
// why, and is already printed as one line on state.err).
int scan(ScanState& state, std::FILE* top);

// Directory part of a path: everything before the last '/' or '\', or ".".
std::string directory_of(const std::string& path);

}  // namespace qvcfg
