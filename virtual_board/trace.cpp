#include "trace.h"

#include <cerrno>
#include <cstdarg>

namespace vboard {

Trace::~Trace() {
    if (file_) std::fclose(file_);
}

int Trace::open(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_);
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (path.empty()) return 0;
    file_ = std::fopen(path.c_str(), "a");
    return file_ ? 0 : -errno;
}

bool Trace::enabled() const {
    std::lock_guard<std::mutex> lock(m_);
    return file_ != nullptr;
}

void Trace::line(const std::string& head) {
    std::lock_guard<std::mutex> lock(m_);
    if (!file_) return;
    std::fprintf(file_, "%s\n", head.c_str());
    std::fflush(file_);
}

void Trace::line(const std::string& head, const uint8_t* data, size_t n) {
    std::lock_guard<std::mutex> lock(m_);
    if (!file_) return;
    std::string text = head + " :";
    static const char kHex[] = "0123456789abcdef";
    for (size_t k = 0; k < n; ++k) {
        text += ' ';
        text += kHex[data[k] >> 4];
        text += kHex[data[k] & 0xF];
    }
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), file_);
    std::fflush(file_);
}

std::string format(const char* fmt, ...) {
    char buf[128];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

}  // namespace vboard
