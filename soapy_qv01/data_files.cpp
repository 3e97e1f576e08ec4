#include "data_files.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>

#include "rate_plans.h"

namespace qv01soapy {
namespace {

bool is_file(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A data folder is one that holds the default rate's configuration.
bool holds_configurations(const std::string& dir) {
    return is_file(dir + "/config/" + kRatePlans[kDefaultPlan].config);
}

// Directory of the shared object this function is part of (the module).
std::string module_directory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&module_directory), &info) == 0 || !info.dli_fname)
        return "";
    const std::string file = info.dli_fname;
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : file.substr(0, slash);
}

}  // namespace

std::string data_directory() {
    // QV_SOAPY_DATA_FROM_MODULE: share/qv01 relative to the module's
    // install folder; QV_SOAPY_SOURCE_ROOT: the tree it was built from.
    const std::string installed = module_directory() + "/" QV_SOAPY_DATA_FROM_MODULE;
    if (holds_configurations(installed)) {
        // Without the module folder's "../../../.." for the reader of its paths.
        char* resolved = realpath(installed.c_str(), nullptr);
        const std::string dir = resolved ? resolved : installed;
        std::free(resolved);
        return dir;
    }
    if (holds_configurations(QV_SOAPY_SOURCE_ROOT)) return QV_SOAPY_SOURCE_ROOT;
    return "";
}

std::string default_firmware() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    std::string user;
    if (xdg && xdg[0] == '/')  // XDG: absolute paths only
        user = std::string(xdg) + "/qv01/firmware/qv01-fx2.hex";
    else if (home && home[0] != '\0')
        user = std::string(home) + "/.local/share/qv01/firmware/qv01-fx2.hex";
    for (const std::string& path :
         {user, std::string("/usr/local/share/qv01/firmware/qv01-fx2.hex")})
        if (is_file(path)) return path;
    const std::string data = data_directory();
    if (!data.empty() && is_file(data + "/fw/proto.hex")) return data + "/fw/proto.hex";
    return "";
}

std::string default_config_directory() {
    const std::string data = data_directory();
    return data.empty() ? "" : data + "/config";
}

}  // namespace qv01soapy
