// Where the keys of a scene file were assigned, so that the scene reader can
// name file and line in its messages (the configuration store keeps values
// only). Reads the same files by the configuration language's rules:
// sections, comments, quoted values over several lines, "#include" and
// "#source" with their prefixes and filters, carriage returns before line
// feeds dropped; the last assignment of a key wins.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace qv01model {

struct KeyPlace {
    std::string file;    // path as opened: the load's path, or directory + "/" + directive name
    int line = 0;        // line of the key's name, from 1
    int value_line = 0;  // line where its value ends (a quoted value may span lines)
    size_t order = 0;    // position among all assignments in reading order
};

class KeyPlaces {
public:
    // Reads `path` and the files its directives open, at most max_files files
    // of at most max_file_bytes each, before the configuration scanner does:
    // so a directive naming a FIFO, a device, a directory or too large a file
    // is found without blocking or reading it. Returns 0; or the negative
    // error of read_regular_file for `path` itself; or, for a directive file,
    // that error (-EMFILE: one file too many) with problem() naming the file,
    // the directive's file and line and the reason. Never throws.
    int read(const std::string& path, size_t max_file_bytes, int max_files);
    const std::string& problem() const { return problem_; }

    // Last assignment of `key`, or null.
    const KeyPlace* find(const std::string& key) const;

    // The key whose assignment covers `line` of `file` (its name or a line of
    // its value), compared by absolute path; empty when none does.
    std::string key_at(const std::string& file, int line) const;

private:
    std::map<std::string, KeyPlace> last_;
    std::vector<std::pair<std::string, KeyPlace>> all_;
    std::string problem_;
};

// Text of a negative error of read_regular_file: "is a directory", "is not a
// regular file", "is larger than N bytes", or strerror.
std::string file_error_text(int error, size_t max_bytes);

// Reads a whole regular file of at most max_bytes into `out` without
// blocking on FIFOs or devices. Returns 0, or a negative error number:
// the negated errno of open/read, -EISDIR a directory, -EINVAL not a regular
// file, -EFBIG larger than max_bytes.
int read_regular_file(const std::string& path, size_t max_bytes, std::string& out);

}  // namespace qv01model
