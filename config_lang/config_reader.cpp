#include "config_reader.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "number_text.h"
#include "scanner_state.h"

config_reader_::config_reader_() = default;

void config_reader_::load(const std::string& path)
{
    store_.clear();
    qvcfg::FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return;

    top_ = include_frame_{};
    top_.file_name = path;
    top_.directory = qvcfg::directory_of(path);

    qvcfg::ScanState state;
    state.store = &store_;
    qvcfg::OpenFile top;
    top.frame = &top_;
    state.stack.push_back(std::move(top));
    // An early end (scanner error, too deep a directive) keeps the values
    // stored so far.
    qvcfg::scan(state, file.get());
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
bool checked_lookup(const char* name, T& out, int line, const char* file, int& failures, Get get)
{
    if (get(name, out))
        return true;
    std::string expr = std::string("GETVAR(") + name + ")";
    check_report(expr.c_str(), line, file);
    ++failures;
    return false;
}

}  // namespace

bool config_reader_::getvar(const char* name, int32_t& out, int line, const char* file) const
{
    return checked_lookup(name, out, line, file, failed_lookups_,
                          [this](const char* n, int32_t& o) { return get_int(n, o); });
}

bool config_reader_::getvar(const char* name, uint32_t& out, int line, const char* file) const
{
    return checked_lookup(name, out, line, file, failed_lookups_,
                          [this](const char* n, uint32_t& o) { return get_uint(n, o); });
}

bool config_reader_::getvar(const char* name, std::string& out, int line, const char* file) const
{
    return checked_lookup(name, out, line, file, failed_lookups_,
                          [this](const char* n, std::string& o) { return get_string(n, o); });
}

void check_report(const char* expr, int line, const char* file)
{
    std::printf("Failed %s at line %d file %s\n", expr, line, file);
}

namespace qvcfg {

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
