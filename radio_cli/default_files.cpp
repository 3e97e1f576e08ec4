#include "default_files.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace qvradio {
namespace {

bool is_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string parent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// `path` made absolute against `base` and cleaned of "." and ".." steps
// without following links (the file need not exist).
std::string absolute(const std::string& path, const std::string& base) {
    const std::string whole = !path.empty() && path[0] == '/' ? path : base + "/" + path;
    std::string out;
    size_t i = 0;
    while (i <= whole.size()) {
        size_t j = whole.find('/', i);
        if (j == std::string::npos) j = whole.size();
        const std::string step = whole.substr(i, j - i);
        if (step == "..") {
            const size_t slash = out.find_last_of('/');
            out.erase(slash == std::string::npos ? 0 : slash);
        } else if (!step.empty() && step != ".") {
            out += "/" + step;
        }
        i = j + 1;
    }
    return out.empty() ? "/" : out;
}

}  // namespace

SearchPlaces this_process_places() {
    SearchPlaces p;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && xdg[0] == '/')
        p.data_home = xdg;
    else if (home != nullptr && home[0] == '/')
        p.data_home = std::string(home) + "/.local/share";
    char buf[PATH_MAX];
    if (getcwd(buf, sizeof buf) != nullptr) p.working_dir = buf;
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) p.share_dir = parent(parent(std::string(buf, size_t(n)))) + "/share/qv01";
#ifdef QV_SOURCE_ROOT
    p.source_root = QV_SOURCE_ROOT;
#endif
    const char* preload = std::getenv("LD_PRELOAD");
    p.virtual_board =
        preload != nullptr && std::string(preload).find("qv_virtual_board") != std::string::npos;
    return p;
}

std::string find_firmware(const SearchPlaces& places) {
    std::string tries[5];
    int n = 0;
    if (!places.virtual_board) {
        if (!places.data_home.empty()) tries[n++] = places.data_home + "/" + kUserFirmware;
        tries[n++] = places.system_firmware;
    }
    tries[n++] = absolute("../fw/proto.hex", places.working_dir);
    if (!places.share_dir.empty()) tries[n++] = places.share_dir + "/fw/proto.hex";
    if (!places.source_root.empty()) tries[n++] = places.source_root + "/fw/proto.hex";
    for (int i = 0; i < n; ++i)
        if (is_file(tries[i])) return tries[i];
    return "../fw/proto.hex";
}

ConfigChoice find_config(const SearchPlaces& places) {
    const std::string own = absolute("../config/FM_radio.ini", places.working_dir);
    if (is_file(own)) return {own, places.working_dir};
    if (!places.share_dir.empty()) {
        const std::string installed = places.share_dir + "/config/FM_radio.ini";
        if (is_file(installed)) return {installed, places.share_dir + "/config"};
    }
    if (!places.source_root.empty()) {
        const std::string tree = places.source_root + "/config/FM_radio.ini";
        if (is_file(tree)) return {tree, places.source_root + "/run"};
    }
    return {own, places.working_dir};
}

ConfigChoice given_config(const std::string& path, const SearchPlaces& places) {
    const std::string file = absolute(path, places.working_dir);
    return {file, parent(file)};
}

}  // namespace qvradio
