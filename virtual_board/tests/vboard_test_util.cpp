#include "vboard_test_util.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace vbtest {

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string temp_path(const std::string& stem) {
    const std::string path =
        ::testing::TempDir() + "/vboard_" + stem + "_" + std::to_string(getpid());
    std::remove(path.c_str());
    return path;
}

}  // namespace vbtest
