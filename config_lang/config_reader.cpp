#include "config_reader.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "number_text.h"
#include "scanner_state.h"

config_reader_::config_reader_() = default;

int config_reader_::load(const std::string& path)
{
    store_.clear();
    result_ = load_result_{};
    qvcfg::FilePtr file(std::fopen(path.c_str(), "rb"));
    int err = file ? 0 : errno;
    struct stat st {};
    if (err == 0 && fstat(fileno(file.get()), &st) != 0)
        err = errno;
    // A directory opens but cannot be read: it is no configuration file.
    if (err == 0 && S_ISDIR(st.st_mode))
        err = EISDIR;
    if (err != 0) {
        result_.error = -err;
        result_.message = qvcfg::cannot_open_text("configuration file", path, err);
        return result_.error;
    }

    result_.opened = true;
    top_ = include_frame_{};
    top_.file_name = path;
    top_.path = path;
    top_.directory = qvcfg::directory_of(path);

    qvcfg::ScanState state;
    state.store = &store_;
    qvcfg::OpenFile top;
    top.frame = &top_;
    top.device = st.st_dev;
    top.inode = st.st_ino;
    state.stack.push_back(std::move(top));
    // An early end keeps the values stored so far.
    result_.error = qvcfg::scan(state, file.get());
    if (result_.error != 0)
        result_.message = state.stop_text;
    result_.unopened = std::move(state.unopened);
    return result_.error;
}

void config_reader_::set_section(const std::string& name)
{
    section_ = name + ".";
}

bool config_reader_::get_string(const std::string& name, std::string& out) const
{
    auto it = store_.find(section_ + name);
    if (it == store_.end())
        return false;
    out = it->second;
    return true;
}

bool config_reader_::get_int(const std::string& name, int32_t& out) const
{
    auto it = store_.find(section_ + name);
    if (it == store_.end())
        return false;
    out = qvcfg::text_to_int(it->second.c_str());
    return true;
}

bool config_reader_::get_uint(const std::string& name, uint32_t& out) const
{
    auto it = store_.find(section_ + name);
    if (it == store_.end())
        return false;
    out = qvcfg::text_to_uint(it->second.c_str());
    return true;
}

namespace {

template <typename T, typename Get>
bool checked_lookup(const char* name, T& out, int line, const char* file, int& failures,
                    std::vector<std::string>& missing, const std::string& key, Get get)
{
    if (get(name, out))
        return true;
    std::string expr = std::string("GETVAR(") + name + ")";
    check_report(expr.c_str(), line, file);
    ++failures;
    for (const std::string& k : missing)
        if (k == key)
            return false;
    missing.push_back(key);
    return false;
}

}  // namespace

bool config_reader_::getvar(const char* name, int32_t& out, int line, const char* file) const
{
    return checked_lookup(name, out, line, file, failed_lookups_, missing_keys_, section_ + name,
                          [this](const char* n, int32_t& o) { return get_int(n, o); });
}

bool config_reader_::getvar(const char* name, uint32_t& out, int line, const char* file) const
{
    return checked_lookup(name, out, line, file, failed_lookups_, missing_keys_, section_ + name,
                          [this](const char* n, uint32_t& o) { return get_uint(n, o); });
}

bool config_reader_::getvar(const char* name, std::string& out, int line, const char* file) const
{
    return checked_lookup(name, out, line, file, failed_lookups_, missing_keys_, section_ + name,
                          [this](const char* n, std::string& o) { return get_string(n, o); });
}

void check_report(const char* expr, int line, const char* file)
{
    std::printf("Failed %s at line %d file %s\n", expr, line, file);
}

namespace qvcfg {

std::string working_directory()
{
    std::string dir(4096, '\0');
    while (getcwd(&dir[0], dir.size()) == nullptr) {
        if (errno != ERANGE || dir.size() > (1u << 20))
            return "?";
        dir.resize(dir.size() * 2);
    }
    dir.resize(std::strlen(dir.c_str()));
    return dir;
}

std::string absolute_path(const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    // Files next to a top-level file in the working directory are "./name".
    const size_t skip = path.compare(0, 2, "./") == 0 ? 2 : 0;
    return working_directory() + "/" + path.substr(skip);
}

std::string cannot_open_text(const std::string& what, const std::string& path, int err,
                             const std::string& where)
{
    std::string text = "Cannot open the " + what + " \"" + absolute_path(path) + "\"";
    if (!where.empty())
        text += " (" + where + ")";
    return text + ": " + std::strerror(err) + " (working directory: " + working_directory() + ").";
}

int32_t text_to_int(const char* text)
{
    errno = 0;
    long long v = std::strtoll(text, nullptr, 0);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

uint32_t text_to_uint(const char* text)
{
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    // strtoull would accept a second sign or more blanks here; the number must
    // follow the sign directly.
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return 0;
    errno = 0;
    unsigned long long mag = std::strtoull(p, nullptr, 0);
    if (errno == ERANGE || mag > UINT32_MAX)
        return UINT32_MAX;
    uint32_t v = static_cast<uint32_t>(mag);
    return negative ? static_cast<uint32_t>(0u - v) : v;
}

}  // namespace qvcfg
