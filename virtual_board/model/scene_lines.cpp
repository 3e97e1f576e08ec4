#include "scene_lines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "config_reader.h"

namespace qv01model {

int read_regular_file(const std::string& path, size_t max_bytes, std::string& out) {
    out.clear();
    // Non-blocking, so that a FIFO is refused instead of waited for.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -errno;
    struct stat st {};
    int rc = 0;
    if (fstat(fd, &st) != 0) {
        rc = -errno;
    } else if (S_ISDIR(st.st_mode)) {
        rc = -EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        rc = -EINVAL;
    } else if (uint64_t(st.st_size) > max_bytes) {
        rc = -EFBIG;
    }
    if (rc == 0) {
        try {
            out.resize(size_t(st.st_size));
        } catch (const std::bad_alloc&) {
            rc = -ENOMEM;
        }
    }
    // Never more than the size seen by fstat, even if the file grows meanwhile.
    size_t got = 0;
    while (rc == 0 && got < out.size()) {
        const ssize_t n = ::read(fd, &out[got], out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) rc = -errno;
        if (n <= 0) break;
        got += size_t(n);
    }
    ::close(fd);
    if (rc != 0) {
        out.clear();
        return rc;
    }
    out.resize(got);
    return 0;
}

namespace {

bool name_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$';
}
bool bare_char(char c) { return name_char(c) || c == '.' || c == '-' || c == '/'; }
bool file_char(char c) { return name_char(c) || c == '.' || c == '/' || c == ' '; }
bool blank(char c) { return c == ' ' || c == '\t'; }

// End of the name starting at p (name characters, then groups of "." and
// name characters), or p when there is none.
size_t name_end(const std::string& s, size_t p) {
    size_t q = p;
    while (q < s.size() && name_char(s[q])) ++q;
    if (q == p) return p;
    while (q + 1 < s.size() && s[q] == '.' && name_char(s[q + 1])) {
        ++q;
        while (q < s.size() && name_char(s[q])) ++q;
    }
    return q;
}

std::string directory_of(const std::string& path) {
    const size_t pos = path.find_last_of("/\\");
    return pos == std::string::npos ? "." : path.substr(0, pos);
}

struct Frame {
    std::string text;
    size_t pos = 0;
    int line = 1;
    std::string path, dir, prefix, section, filter;
    int depth = 0;
};

enum class State { top, value, section, comment, directive, after_name, directive_end };

constexpr size_t kMaxVarName = 1000;  // the scanner cuts longer variable names
constexpr int kMaxDepth = 100;        // a directive this deep ends the load

}  // namespace

std::string file_error_text(int error, size_t max_bytes) {
    switch (error) {
    case -EISDIR: return "is a directory";
    case -EINVAL: return "is not a regular file";
    case -EFBIG: return "is larger than " + std::to_string(max_bytes) + " bytes";
    default: return std::string("cannot be read: ") + std::strerror(-error);
    }
}

int KeyPlaces::read(const std::string& path, size_t max_file_bytes, int max_files) {
    last_.clear();
    all_.clear();
    problem_.clear();
    int rc = 0;
    try {
        std::vector<Frame> stack;
        auto load = [&](Frame f) {
            std::string raw;
            rc = read_regular_file(f.path, max_file_bytes, raw);
            if (rc != 0) return false;
            // Carriage return before line feed is dropped, as the scanner does.
            f.text.reserve(raw.size());
            for (size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
                f.text += raw[i];
            }
            f.dir = directory_of(f.path);
            stack.push_back(std::move(f));
            return true;
        };
        Frame top;
        top.path = path;
        if (!load(std::move(top))) return rc;
        int opened = 1;
        State st = State::top;
        bool pending_source = false;
        Frame pending;
        std::string var;
        int var_line = 0;
        std::string var_file;
        size_t order = 0;

        // Returns false when the directive's file cannot be read.
        auto open_pending = [&](int line) {
            const Frame& from = stack.back();
            const std::string where = qvcfg::absolute_path(from.path) + ", line " + std::to_string(line) + ": " +
                                      (pending_source ? "#source" : "#include") + " \"" + pending.path + "\": ";
            if (opened >= max_files) {
                rc = -EMFILE;
                problem_ = where + "more than " + std::to_string(max_files) + " files in one scene";
                return false;
            }
            ++opened;
            Frame f = pending;
            f.path = from.dir + "/" + pending.path;
            const std::string full = qvcfg::absolute_path(f.path);
            if (load(std::move(f))) return true;
            problem_ = where + full + " " + file_error_text(rc, max_file_bytes);
            return false;
        };
        auto store = [&](int value_line) {
            const Frame& f = stack.back();
            const std::string full = f.section + "." + var;
            if (!f.filter.empty() && full.compare(0, f.filter.size(), f.filter) != 0) return;
            KeyPlace place{var_file, var_line, value_line, order++};
            last_[full.substr(1)] = place;
            all_.emplace_back(full.substr(1), place);
        };

        while (!stack.empty()) {
            Frame& f = stack.back();
            const std::string& s = f.text;
            const size_t n = s.size();
            size_t& p = f.pos;
            if (p >= n) {
                // A directive on a last line without line end is complete.
                if (st == State::directive_end) {
                    st = State::top;
                    if (!open_pending(f.line)) return rc;
                    continue;
                }
                // An included file ends: its includer goes on in the same state.
                if (stack.size() == 1) break;
                stack.pop_back();
                continue;
            }
            const char c = s[p];
            auto step = [&]() {
                if (s[p] == '\n') ++f.line;
                ++p;
            };
            switch (st) {
            case State::top: {
                if (s.compare(p, 8, "#include") == 0 || s.compare(p, 7, "#source") == 0) {
                    if (f.depth >= kMaxDepth) return 0;  // the scanner stops here too
                    pending_source = s[p + 1] == 's';
                    p += pending_source ? 7 : 8;
                    st = State::directive;
                } else if (c == '[' && (p == 0 || s[p - 1] == '\n')) {
                    ++p;
                    st = State::section;
                } else if (s.compare(p, 2, "/*") == 0) {
                    p += 2;
                    st = State::comment;
                } else if (s.compare(p, 2, "//") == 0) {
                    while (p < n && s[p] != '\n') ++p;
                } else {
                    const size_t q = name_end(s, p);
                    size_t r = q;
                    while (r < n && blank(s[r])) ++r;
                    if (q > p && r < n && s[r] == '=') {
                        var = s.substr(p, std::min(q - p, kMaxVarName));
                        var_line = f.line;
                        var_file = f.path;
                        p = q;
                        st = State::value;
                    } else {
                        step();
                    }
                }
                break;
            }
            case State::value: {
                if (c == '=') {
                    ++p;
                    while (p < n && blank(s[p])) ++p;
                } else if (c == '"' && s.find('"', p + 1) != std::string::npos) {
                    const size_t close = s.find('"', p + 1);
                    while (p <= close) step();
                    store(f.line);
                    st = State::top;
                } else if (bare_char(c)) {
                    while (p < n && bare_char(s[p])) ++p;
                    store(f.line);
                    st = State::top;
                } else {
                    step();
                }
                break;
            }
            case State::section: {
                const size_t q = name_end(s, p);
                if (q > p) {
                    f.section = f.prefix + "." + s.substr(p, q - p);
                    p = q;
                } else if (c == ']') {
                    ++p;
                    st = State::top;
                } else {
                    step();
                }
                break;
            }
            case State::comment:
                if (s.compare(p, 2, "*/") == 0) {
                    p += 2;
                    st = State::top;
                } else {
                    step();
                }
                break;
            case State::directive: {
                size_t q = p + 1;
                if (c == '"') {
                    while (q < n && file_char(s[q])) ++q;
                }
                if (c == '"' && q > p + 1 && q < n && s[q] == '"') {
                    pending = Frame{};
                    pending.path = s.substr(p + 1, q - p - 1);  // the name, until opened
                    pending.depth = f.depth + 1;
                    if (pending_source) pending.prefix = pending.section = f.section;
                    p = q;  // the closing quote is read again
                    st = State::after_name;
                } else {
                    step();
                }
                break;
            }
            case State::after_name:
                if (c == '"') {
                    ++p;
                    while (p < n && blank(s[p])) ++p;
                    st = State::directive_end;
                } else {
                    step();
                }
                break;
            case State::directive_end: {
                const size_t q = name_end(s, p);
                if (c == '\n' || q > p) {
                    const int line = f.line;
                    if (q > p) {
                        pending.filter = pending.prefix + "." + s.substr(p, q - p);
                        p = q;
                    } else {
                        step();
                    }
                    st = State::top;
                    if (!open_pending(line)) return rc;  // invalidates f
                } else {
                    step();
                }
                break;
            }
            }
        }
    } catch (const std::exception&) {
        // Out of memory: the places found so far stay.
    }
    return 0;
}

const KeyPlace* KeyPlaces::find(const std::string& key) const {
    const auto it = last_.find(key);
    return it == last_.end() ? nullptr : &it->second;
}

std::string KeyPlaces::key_at(const std::string& file, int line) const {
    const std::string want = qvcfg::absolute_path(file);
    for (auto it = all_.rbegin(); it != all_.rend(); ++it) {
        const KeyPlace& k = it->second;
        if (k.line <= line && line <= k.value_line && qvcfg::absolute_path(k.file) == want) return it->first;
    }
    return std::string();
}

}  // namespace qv01model
