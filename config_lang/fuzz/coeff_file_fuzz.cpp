// libFuzzer target for the FIR coefficient file reader: each input is read as
// a coefficient file.
//
// Checks beyond "no crash, no leak, no UB", against a plain reading of the
// input (white-space separated tokens, the first 32 used): the reader opens
// the file, takes as many values as there are tokens (at most 32), converts
// each like strtoll with base 0 clamped to 32 bits, gives each the line its
// token starts on, and warns about exactly the tokens that are not wholly a
// number or lie outside -32768..32767 (five in detail, then one sentence for
// the rest), each warning naming the file.
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "coeff_file.h"

namespace {

constexpr int kMax = 32;
std::string g_path;

void check(bool ok) {
    if (!ok) std::abort();
}

struct Token {
    std::string text;
    int line;
};

std::vector<Token> plain_tokens(const std::string& text) {
    std::vector<Token> tokens;
    int line = 1;
    size_t i = 0;
    while (i < text.size() && tokens.size() < static_cast<size_t>(kMax)) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isspace(c)) {
            line += c == '\n';
            ++i;
            continue;
        }
        Token t{"", line};
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
            t.text.push_back(text[i++]);
        tokens.push_back(t);
    }
    return tokens;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/qv_coeff_fuzz_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    g_path = std::string(tmpl) + "/coef.txt";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(g_path.c_str(), "wb");
    if (f == nullptr) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    qvcfg::CoeffFile got;
    check(qvcfg::read_coeff_file(g_path, kMax, got) == 0);
    const std::vector<Token> tokens =
        plain_tokens(std::string(reinterpret_cast<const char*>(data), size));
    check(got.values.size() == tokens.size() && got.lines.size() == tokens.size());
    size_t problems = 0;
    for (size_t i = 0; i < tokens.size(); ++i) {
        const char* text = tokens[i].text.c_str();
        char* end = nullptr;
        const long long v = std::strtoll(text, &end, 0);
        const int32_t want = v > INT32_MAX   ? INT32_MAX
                             : v < INT32_MIN ? INT32_MIN
                                             : static_cast<int32_t>(v);
        check(got.values[i] == want);
        check(got.lines[i] == tokens[i].line);
        const bool whole = end != text && static_cast<size_t>(end - text) == tokens[i].text.size();
        problems += !whole || want < qvcfg::kCoeffMin || want > qvcfg::kCoeffMax;
    }
    check(got.warnings.size() == (problems <= 5 ? problems : 6));
    for (const std::string& w : got.warnings) check(w.rfind("\"" + g_path + "\", line", 0) == 0);
    return 0;
}
