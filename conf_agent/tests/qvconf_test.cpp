// qvconf run as a program, from a working directory like the programs' run/.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs `command` in `dir` with standard output and standard error apart.
Result run_in(const std::string& dir, const std::string& command) {
    char err_path[] = "/tmp/qvconf_err_XXXXXX";
    const int fd = mkstemp(err_path);
    if (fd < 0) return {};
    close(fd);
    Result r;
    FILE* p = popen(("cd '" + dir + "' && " + command + " 2>" + err_path).c_str(), "r");
    if (p != nullptr) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        int st = pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    r.err = read_file(err_path);
    std::remove(err_path);
    return r;
}

// A scratch tree like the project's: <dir>/run is the working directory and
// <dir>/config the project's configuration (a link), but there is no
// firmware and no board.
class Qvconf : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qvconf_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        run_ = dir_ + "/run";
        ASSERT_EQ(mkdir(run_.c_str(), 0700), 0);
        ASSERT_EQ(symlink(QV_CONFIG_DIR, (dir_ + "/config").c_str()), 0);
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    Result qvconf(const std::string& args) {
        return run_in(run_, std::string("'") + QVCONF_EXE + "' " + args);
    }
    std::string write(const std::string& name, const std::string& text) {
        std::ofstream(run_ + "/" + name, std::ios::binary) << text;
        return run_ + "/" + name;
    }

    std::string dir_, run_;
};

const char* const kProgress =
    "ADC_CFG=0x0081,enc_dir=0 \n"
    "RX_CFG=0x0000\n"
    "LCFG1=0xc000, src=0, on=1\n"
    "LCFG2=0x0000, src=0, on=0\n"
    "LCFG3=0x0000, src=0, on=0\n"
    "LCFG4=0x0000, src=0, on=0\n";

// By default the agent writes to a register image only: no board, no firmware.
TEST_F(Qvconf, ProjectConfigurationWithoutBoardOrFirmware) {
    Result r = qvconf("../config/FM_radio.ini");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kProgress + read_file(QV_EXPECTED_CONFIG_C));
}

TEST_F(Qvconf, KeysInKeyOrder) {
    Result r = qvconf("--keys ../config/FM_radio.ini");
    EXPECT_EQ(r.status, 0);
    std::istringstream in(r.out);
    std::string line, prev;
    int n = 0;
    while (std::getline(in, line)) {
        size_t eq = line.find(" = ");
        ASSERT_NE(eq, std::string::npos) << line;
        std::string key = line.substr(0, eq);
        EXPECT_LT(prev, key);
        prev = key;
        ++n;
    }
    EXPECT_NE(r.out.find("\nCH1.DFIR2.file_coef = ../config/dfir2.txt\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nRX.RX3_LCFG.on = 0\n"), std::string::npos);
    // Exactly the keys the agent asks for: 50 receive-path keys, 22 per channel.
    EXPECT_EQ(n, 9 + 5 + 1 + 3 + 4 * 8 + 4 * 22);
}

// Exit status and what standard error tells: 2 for a file that cannot be read
// (missing, a directory, or a scanner error ended its load: one line with the
// file and line, no dump), 1 for check reports (then every missing key and
// the file after them) and for warnings, 0 for a clean file.
TEST_F(Qvconf, ExitStatusAndReasons) {
    // The project's configuration written out flat, and less three keys.
    std::string flat, less;
    {
        std::istringstream keys(qvconf("--keys ../config/FM_radio.ini").out);
        for (std::string line; std::getline(keys, line);) {
            const std::string key = line.substr(0, line.find(' '));
            flat += line + "\n";
            if (key != "CH1.CIC2.dr" && key != "CH1.CICN.dr" && key != "CH2.DFIR1.sym")
                less += line + "\n";
        }
    }
    const std::string part = write("part.ini", less);
    write("wide_coef.txt", "1 2 70000\n4 5 6 7 8 9\n");
    write("wide_coef.ini", flat + "CH1.DFIR1.file_coef=wide_coef.txt\n");
    const std::string unopened = write("unopened.ini", flat + "#include \"nothere.ini\"\n");
    const std::string long_token = write("long.ini", "a=1\nb=" + std::string(17000, 'x') + "\n");
    mkdir((run_ + "/dir.ini").c_str(), 0700);
    const std::string usage =
        "usage: qvconf [--board] FILE\n"
        "       qvconf --keys FILE\n";
    auto cannot_open = [this](const std::string& name, const std::string& why) {
        return "qvconf: Cannot open the configuration file \"" + run_ + "/" + name + "\": " + why +
               " (working directory: " + run_ + ").\n";
    };
    const std::string overflow =
        "\"" + long_token +
        "\", line 2: input buffer overflow, can't enlarge buffer because scanner uses "
        "REJECT (a name, value or comment longer than 16384 bytes).\n";
    struct Case {
        std::string args;
        int status;
        std::string err;
        bool dump;
        const char* check_report;  // a line on standard output
    };
    const Case cases[] = {
        {"no_such_file.ini", 2, cannot_open("no_such_file.ini", "No such file or directory"), false,
         ""},
        {"--keys no_such_file.ini", 2, cannot_open("no_such_file.ini", "No such file or directory"),
         false, ""},
        {"dir.ini", 2, cannot_open("dir.ini", "Is a directory"), false, ""},
        {"--keys dir.ini", 2, cannot_open("dir.ini", "Is a directory"), false, ""},
        {"long.ini", 2, overflow, false, ""},
        {"--keys long.ini", 2, overflow, false, ""},
        {"", 2, usage, false, ""},
        {"--keys", 2, usage, false, ""},
        {"--bogus x.ini", 2, usage, false, ""},
        {"part.ini", 1,
         "qvconf: " + part + ": 3 keys missing:\n  CH1.CIC2.dr\n  CH1.CICN.dr\n  CH2.DFIR1.sym\n",
         true, "Failed GETVAR(dr) at line "},
        {"wide_coef.ini", 1,
         "\"" + run_ +
             "/wide_coef.txt\", line 1: coefficient 70000 lies outside -32768..32767; the chip "
             "gets "
             "its low 16 bits, 4464.\n",
         true, ""},
        {"unopened.ini", 1,
         "qvconf: Cannot open the file \"" + run_ + "/nothere.ini\" (#include in \"" + unopened +
             "\", line " + std::to_string(std::count(flat.begin(), flat.end(), '\n') + 1) +
             "): No such file or directory (working directory: " + run_ + ").\n",
         true, ""},
        {"--keys unopened.ini", 1,
         "qvconf: Cannot open the file \"" + run_ + "/nothere.ini\" (#include in \"" + unopened +
             "\", line " + std::to_string(std::count(flat.begin(), flat.end(), '\n') + 1) +
             "): No such file or directory (working directory: " + run_ + ").\n",
         false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        Result r = qvconf(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.find("{-1, 0} };\n") != std::string::npos, c.dump) << r.out;
        EXPECT_NE(r.out.find(c.check_report), std::string::npos);
    }

    Result help = qvconf("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind(usage, 0), 0u) << help.out;
}

// --board runs the agent against a board: here the virtual one, under its
// launcher, from the project's run/ (the firmware is needed then).
TEST(QvconfBoard, UnderTheLauncher) {
    char tmpl[] = "/tmp/qvconf_trace_XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    Result r = run_in(QV_RUN_DIR, std::string("'") + QV_LAUNCHER + "' --trace " + tmpl + " -- '" +
                                      QVCONF_EXE + "' --board ../config/FM_radio.ini");
    const std::string trace = read_file(tmpl);
    std::remove(tmpl);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kProgress + read_file(QV_EXPECTED_CONFIG_C));
    // The registers went to the board: the last channel's gain Q, register 0x32b.
    EXPECT_NE(trace.find("out 01 : 04 00 00 2b 03 00 00"), std::string::npos);
}

}  // namespace
