// libFuzzer target for the configuration scanner: each input is loaded as a
// configuration file (directives in it resolve against a private directory,
// so a "#include" of the input itself recurses to the depth limit; the
// directory also holds a FIFO "fifo" and a link "zero" to /dev/zero).
//
// Checks beyond "no crash, no leak, no UB, no hang": a load never ends the
// process, its outcome has a message exactly when it ended early, every
// stored key is non-empty and never starts with '.', every value is a
// non-empty bare word or a complete quoted text, and every stored key has a
// place of its own in an absolute file, on a line from 1.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "config_reader.h"

namespace {

std::string g_dir;

bool bare_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c == '.' || c == '-' || c == '/';
}

bool plausible_value(const std::string& v) {
    if (v.empty()) return false;
    if (v[0] == '"') return v.size() >= 2 && v.back() == '"' && v.find('"', 1) == v.size() - 1;
    for (char c : v)
        if (!bare_char(c)) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/qv_config_fuzz_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    g_dir = tmpl;
    if (mkfifo((g_dir + "/fifo").c_str(), 0600) != 0 ||
        symlink("/dev/zero", (g_dir + "/zero").c_str()) != 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = g_dir + "/in.ini";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    config_reader_ reader;
    reader.set_output(nullptr, nullptr);
    const int rc = reader.load(path);
    // An early end always says where; a finished load says nothing.
    if (rc != reader.load_result().error || (rc != 0) == reader.load_result().message.empty())
        std::abort();
    std::set<size_t> orders;
    for (const auto& [key, value] : reader.values()) {
        if (key.empty() || key[0] == '.' || !plausible_value(value)) std::abort();
        const key_place_* at = reader.place(key);
        if (at == nullptr || at->file.empty() || at->file[0] != '/' || at->line < 1 ||
            at->value_line < 1 || !orders.insert(at->order).second)
            std::abort();
    }
    return 0;
}
