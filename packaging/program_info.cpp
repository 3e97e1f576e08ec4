#include "program_info.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "qv_version.h"

namespace qv {

namespace {

// Options QApplication, QGuiApplication and the xcb platform plugin of Qt 5
// take from the argument vector: those followed by a value, those without,
// and those written NAME=VALUE.
const char* const kQtWithValue[] = {"platform",
                                    "platformpluginpath",
                                    "platformtheme",
                                    "plugin",
                                    "qwindowgeometry",
                                    "qwindowicon",
                                    "qwindowtitle",
                                    "geometry",
                                    "icon",
                                    "title",
                                    "session",
                                    "style",
                                    "stylesheet",
                                    "display",
                                    "name",
                                    "visual"};
const char* const kQtFlags[] = {"reverse", "testability", "widgetcount", "nograb",
                                "dograb",  "qdebug",      "qdevel"};
const char* const kQtWithEquals[] = {"style=", "stylesheet=", "session=", "qmljsdebugger="};

// How many arguments from argv[i] on are one of Qt's options: 0 when it is none.
int qt_option_length(int argc, char** argv, int i) {
    const char* arg = argv[i];
    if (arg[0] != '-') return 0;
    const char* name = arg[1] == '-' ? arg + 2 : arg + 1;  // Qt takes "--x" as "-x"
    for (const char* opt : kQtWithValue)
        if (std::strcmp(name, opt) == 0) return i + 1 < argc ? 2 : 0;
    for (const char* opt : kQtFlags)
        if (std::strcmp(name, opt) == 0) return 1;
    for (const char* opt : kQtWithEquals)
        if (std::strncmp(name, opt, std::strlen(opt)) == 0) return 1;
    return 0;
}

}  // namespace

const char* version_text() { return QV_VERSION_TEXT; }

void print_version(const char* program) { std::printf("%s %s\n", program, version_text()); }

int check_qt_program_arguments(int argc, char** argv, const char* program, const char* usage,
                               const char* help) {
    for (int i = 1; i < argc;) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf("%s\n%s", usage, help);
            return 0;
        }
        if (arg == "--version") {
            print_version(program);
            return 0;
        }
        const int n = qt_option_length(argc, argv, i);
        if (n == 0) {
            std::fprintf(stderr, "%s: %s %s\n%s", program,
                         arg[0] == '-' ? "unknown option" : "unexpected argument", arg.c_str(),
                         usage);
            return 2;
        }
        i += n;
    }
    return -1;
}

}  // namespace qv
