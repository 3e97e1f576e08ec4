// Protocol trace of the virtual board: one line per USB operation, appended to
// a file and flushed at once, so a trace survives a crash of the program.
//
// Threads: every member may be called from any thread. The trace's own mutex
// guards the file: each line is written and flushed whole under it, so lines
// of different threads never mix. format() is a plain function.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace vboard {

class Trace {
  public:
    Trace() = default;
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Appends to `path` from now on; empty path: tracing off. Returns 0 or -errno.
    int open(const std::string& path);

    bool enabled() const;

    // Writes `head`, then " :" and " xx" per byte when `with_data` (lower-case hex).
    void line(const std::string& head);
    void line(const std::string& head, const uint8_t* data, size_t n);

  private:
    mutable std::mutex m_;
    FILE* file_ = nullptr;
};

// printf-style helper for trace heads: "ctrl 40 a0 e600 0000".
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vboard
