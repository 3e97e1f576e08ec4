#include "coeff_file.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "config_reader.h"
#include "number_text.h"

namespace qvcfg {

namespace {

// Detailed warnings per file; the rest are counted in one more sentence.
constexpr size_t kWarningsShown = 5;

// The token as it can be printed: quotes and bytes that are not printable
// escaped, cut after 24 characters.
std::string shown_token(const std::string& token) {
    constexpr size_t kShown = 24;
    std::string out = "\"";
    for (size_t i = 0; i < token.size() && i < kShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(token[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (std::isprint(c)) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (token.size() > kShown) out += "\u2026";
    return out + "\"";
}

// Whether the whole token is one number in the configuration's notation.
bool whole_number(const std::string& token) {
    const char* text = token.c_str();
    char* end = nullptr;
    errno = 0;
    std::strtoll(text, &end, 0);
    return end != text && static_cast<size_t>(end - text) == token.size();
}

}  // namespace

int read_coeff_file(const std::string& path, int max, CoeffFile& out) {
    out = CoeffFile{};
    FilePtr f;
    struct stat st {};
    // Only the first coefficients are read, so a file of any size will do.
    if (const int rc = open_regular_file(path, UINT64_MAX, f, st)) return rc;

    const std::string where = "\"" + absolute_path(path) + "\", line ";
    int line = 1;
    size_t problems = 0;
    int first_unshown = 0, last_unshown = 0;
    std::string token;
    for (int i = 0; i < max; ++i) {
        token.clear();
        int c;
        while ((c = std::getc(f.get())) != EOF && std::isspace(c)) line += c == '\n';
        const int token_line = line;
        while (c != EOF && !std::isspace(c)) {
            token.push_back(static_cast<char>(c));
            c = std::getc(f.get());
        }
        line += c == '\n';
        if (token.empty()) break;  // end of file
        const int32_t value = text_to_int(token.c_str());
        out.values.push_back(value);
        out.lines.push_back(token_line);

        const bool number = whole_number(token);
        const bool in_range = value >= kCoeffMin && value <= kCoeffMax;
        if (number && in_range) continue;
        if (++problems > kWarningsShown) {
            if (first_unshown == 0) first_unshown = token_line;
            last_unshown = token_line;
            continue;
        }
        std::string text = where + std::to_string(token_line) + ": coefficient ";
        if (!number)
            text += shown_token(token) + " is not a number; written as " + std::to_string(value);
        else
            text += token + " lies";
        if (!in_range)
            text += std::string(number ? "" : ",") + " outside " + std::to_string(kCoeffMin) +
                    ".." + std::to_string(kCoeffMax) + "; the chip gets its low 16 bits, " +
                    std::to_string(static_cast<int16_t>(static_cast<uint16_t>(value)));
        out.warnings.push_back(text + ".");
    }
    if (problems > kWarningsShown)
        out.warnings.push_back(
            "\"" + absolute_path(path) + "\", lines " + std::to_string(first_unshown) + " to " +
            std::to_string(last_unshown) + ": " + std::to_string(problems - kWarningsShown) +
            " more coefficients that are not numbers or lie outside " + std::to_string(kCoeffMin) +
            ".." + std::to_string(kCoeffMax) + ".");
    if (std::ferror(f.get()))
        out.warnings.push_back(where + std::to_string(line) +
                               ": read error; the coefficients before it are used.");
    return 0;
}

}  // namespace qvcfg
