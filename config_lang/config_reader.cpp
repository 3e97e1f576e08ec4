#include "config_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "number_text.h"
#include "scanner_state.h"

config_reader_::config_reader_() = default;

int config_reader_::load(const std::string& path) {
    store_.clear();
    places_.clear();
    result_ = load_result_{};
    qvcfg::FilePtr file;
    struct stat st {};
    if (const int rc = qvcfg::open_regular_file(path, qvcfg::kMaxFileBytes, file, st)) {
        result_.error = rc;
        result_.message = qvcfg::cannot_open_text("configuration file", path, -rc);
        return rc;
    }

    top_ = include_frame_{};
    top_.file_name = path;
    top_.path = path;
    top_.directory = qvcfg::directory_of(path);

    qvcfg::ScanState state;
    state.store = &store_;
    state.places = &places_;
    state.out = out_;
    state.err = err_;
    qvcfg::OpenFile top;
    top.frame = &top_;
    top.absolute = qvcfg::absolute_path(path);
    top.device = st.st_dev;
    top.inode = st.st_ino;
    top.left = static_cast<uint64_t>(st.st_size);
    state.stack.push_back(std::move(top));
    // An early end keeps the values stored so far.
    qvcfg::scan(state, file.get());
    result_ = std::move(state.result);
    result_.opened = true;
    return result_.error;
}

void config_reader_::set_output(std::FILE* out, std::FILE* err) {
    out_ = out;
    err_ = err;
}

const key_place_* config_reader_::place(const std::string& key) const {
    auto it = places_.find(key);
    return it == places_.end() ? nullptr : &it->second;
}

void config_reader_::set_section(const std::string& name) { section_ = name + "."; }

bool config_reader_::get_string(const std::string& name, std::string& out) const {
    auto it = store_.find(section_ + name);
    if (it == store_.end()) return false;
    out = it->second;
    return true;
}

bool config_reader_::get_int(const std::string& name, int32_t& out) const {
    auto it = store_.find(section_ + name);
    if (it == store_.end()) return false;
    out = qvcfg::text_to_int(it->second.c_str());
    return true;
}

bool config_reader_::get_uint(const std::string& name, uint32_t& out) const {
    auto it = store_.find(section_ + name);
    if (it == store_.end()) return false;
    out = qvcfg::text_to_uint(it->second.c_str());
    return true;
}

namespace {

template <typename T, typename Get>
bool checked_lookup(const char* name, T& out, int line, const char* file, int& failures,
                    std::vector<std::string>& missing, const std::string& key, Get get) {
    if (get(name, out)) return true;
    std::string expr = std::string("GETVAR(") + name + ")";
    check_report(expr.c_str(), line, file);
    ++failures;
    for (const std::string& k : missing)
        if (k == key) return false;
    missing.push_back(key);
    return false;
}

}  // namespace

bool config_reader_::getvar(const char* name, int32_t& out, int line, const char* file) const {
    return checked_lookup(name, out, line, file, failed_lookups_, missing_keys_, section_ + name,
                          [this](const char* n, int32_t& o) { return get_int(n, o); });
}

bool config_reader_::getvar(const char* name, uint32_t& out, int line, const char* file) const {
    return checked_lookup(name, out, line, file, failed_lookups_, missing_keys_, section_ + name,
                          [this](const char* n, uint32_t& o) { return get_uint(n, o); });
}

bool config_reader_::getvar(const char* name, std::string& out, int line, const char* file) const {
    return checked_lookup(name, out, line, file, failed_lookups_, missing_keys_, section_ + name,
                          [this](const char* n, std::string& o) { return get_string(n, o); });
}

void check_report(const char* expr, int line, const char* file) {
    std::printf("Failed %s at line %d file %s\n", expr, line, file);
}

namespace qvcfg {

std::string working_directory() {
    std::string dir(4096, '\0');
    while (getcwd(&dir[0], dir.size()) == nullptr) {
        if (errno != ERANGE || dir.size() > (1u << 20)) return "?";
        dir.resize(dir.size() * 2);
    }
    dir.resize(std::strlen(dir.c_str()));
    return dir;
}

std::string absolute_path(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    // Files next to a top-level file in the working directory are "./name".
    const size_t skip = path.compare(0, 2, "./") == 0 ? 2 : 0;
    return working_directory() + "/" + path.substr(skip);
}

int open_regular_file(const std::string& path, uint64_t max_bytes, FilePtr& file,
                      struct stat& info) {
    file.reset();
    // Without O_NONBLOCK, opening a FIFO waits for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -errno;
    int rc = 0;
    if (fstat(fd, &info) != 0)
        rc = -errno;
    else if (S_ISDIR(info.st_mode))
        rc = -EISDIR;
    else if (!S_ISREG(info.st_mode))
        rc = -EINVAL;
    else if (static_cast<uint64_t>(info.st_size) > max_bytes)
        rc = -EFBIG;
    else if (!(file = FilePtr(fdopen(fd, "rb"))))
        rc = -errno;
    if (!file) ::close(fd);
    return rc;
}

std::string file_error_text(int error, uint64_t max_bytes) {
    switch (error) {
        case -EISDIR:
            return "is a directory";
        case -EINVAL:
            return "is not a regular file";
        case -EFBIG:
            return "is larger than " + std::to_string(max_bytes) + " bytes";
        default:
            return std::string("cannot be read: ") + std::strerror(-error);
    }
}

std::string cannot_open_text(const std::string& what, const std::string& path, int err,
                             const std::string& where) {
    std::string text = "Cannot open the " + what + " \"" + absolute_path(path) + "\"";
    if (!where.empty()) text += " (" + where + ")";
    const std::string why = err == EINVAL ? "Not a regular file"
                            : err == EFBIG
                                ? "Larger than " + std::to_string(kMaxFileBytes) + " bytes"
                                : std::strerror(err);
    return text + ": " + why + " (working directory: " + working_directory() + ").";
}

int32_t text_to_int(const char* text) {
    errno = 0;
    long long v = std::strtoll(text, nullptr, 0);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

uint32_t text_to_uint(const char* text) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    // strtoull would accept a second sign or more blanks here; the number must
    // follow the sign directly.
    if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
    errno = 0;
    unsigned long long mag = std::strtoull(p, nullptr, 0);
    if (errno == ERANGE || mag > UINT32_MAX) return UINT32_MAX;
    uint32_t v = static_cast<uint32_t>(mag);
    return negative ? static_cast<uint32_t>(0u - v) : v;
}

}  // namespace qvcfg
