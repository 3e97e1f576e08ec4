// qvconf run as a program from run/, the programs' working directory.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

Result qvconf(const std::string& args)
{
    char err_path[] = "/tmp/qvconf_err_XXXXXX";
    const int fd = mkstemp(err_path);
    if (fd < 0)
        return {};
    close(fd);
    std::string cmd = std::string("cd '") + QV_RUN_DIR + "' && '" + QVCONF_EXE + "' " + args + " 2>" + err_path;
    Result r;
    FILE* p = popen(cmd.c_str(), "r");
    if (p != nullptr) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            r.out.append(buf, n);
        int st = pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    std::ifstream in(err_path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    r.err = ss.str();
    std::remove(err_path);
    return r;
}

TEST(Qvconf, ProjectConfigurationRunsCleanAndDecimatesBy324)
{
    Result r = qvconf("../config/FM_radio.ini");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find("Failed"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Unrecognized"), std::string::npos) << r.out;
    std::istringstream in(r.out);
    std::string line;
    const char* progress[] = {"ADC_CFG=", "RX_CFG=", "LCFG1=", "LCFG2=", "LCFG3=", "LCFG4="};
    for (const char* p : progress) {
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_EQ(line.rfind(p, 0), 0u) << line;
    }
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "struct QV_reg_ config [] ={");
    std::map<unsigned, unsigned> regs;
    while (std::getline(in, line)) {
        unsigned a, v;
        if (std::sscanf(line.c_str(), "{0x%x, 0x%x},", &a, &v) == 2)
            regs[a] = v;
        else
            EXPECT_EQ(line, "{-1, 0} };");
    }
    const unsigned decimation = (((regs[0x24] >> 8) & 0x7F) + 1) * (((regs[0x25] >> 8) & 0x3F) + 1) *
                                ((regs[0x26] & 0xF) + 1) * ((regs[0x28] & 0xF) + 1);
    EXPECT_EQ(decimation, 324u);
    EXPECT_EQ(regs[0x22] >> 15, 1u);    // channel 0 on
    EXPECT_EQ(regs[0x122] >> 15, 0u);   // the others off
    EXPECT_EQ(regs[0x222] >> 15, 0u);
    EXPECT_EQ(regs[0x322] >> 15, 0u);
}

TEST(Qvconf, KeysInKeyOrder)
{
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

// Exit status and what standard error tells: a file that cannot be read
// (missing, or a scanner error ended its load) is named with its full path and
// gives no dump; missing keys are summarised once after the dump.
TEST(Qvconf, ExitStatusAndReasons)
{
    char tmpl[] = "/tmp/qvconf_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    std::ofstream(dir + "/part.ini") << "[RX.RX_CFG]\nmode=0\n";
    std::ofstream(dir + "/long.ini") << "a=1\nb=" << std::string(17000, 'x') << "\n";
    const std::string run = QV_RUN_DIR;
    const std::string missing = "qvconf: Cannot open the configuration file \"" + run +
                                "/no_such_file.ini\": No such file or directory (working directory: " + run + ").\n";
    const std::string overflow = "input buffer overflow, can't enlarge buffer because scanner uses REJECT";
    struct Case {
        std::string args;
        int status;
        std::string err;
        bool dump;
    };
    const Case cases[] = {
        {"no_such_file.ini", 2, missing, false},
        {"--keys no_such_file.ini", 2, missing, false},
        {"", 2, "usage: qvconf [--keys] FILE\n", false},
        {dir + "/part.ini", 1,
         "qvconf: part.ini: 137 keys missing: RX.ADC_CFG.enc_mode, RX.ADC_CFG.enc_dir, RX.ADC_CFG.enc_phase, "
         "RX.ADC_CFG.enc_div, RX.ADC_CFG.int_adc_oe, \u2026\n",
         true},
        {dir + "/long.ini", 2,
         overflow + "\n\"" + dir + "/long.ini\", line 2: configuration load ended\n" + "qvconf: \"" + dir +
             "/long.ini\", line 2: " + overflow + " (a name, value or comment longer than 16384 bytes).\n",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        Result r = qvconf(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.find("{-1, 0} };\n") != std::string::npos, c.dump) << r.out;
        if (c.status == 1) {
            EXPECT_NE(r.out.find("Failed GETVAR(wr_all) at line "), std::string::npos);
        }
    }
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
