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
    std::string out;
};

Result qvconf(const std::string& args)
{
    std::string cmd = std::string("cd '") + QV_RUN_DIR + "' && '" + QVCONF_EXE + "' " + args + " 2>/dev/null";
    Result r;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

TEST(Qvconf, ProjectConfigurationRunsCleanAndDecimatesBy324)
{
    Result r = qvconf("../config/FM_radio.ini");
    EXPECT_EQ(r.status, 0);
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

TEST(Qvconf, ExitStatus)
{
    EXPECT_EQ(qvconf("no_such_file.ini").status, 2);
    EXPECT_EQ(qvconf("--keys no_such_file.ini").status, 2);
    EXPECT_EQ(qvconf("").status, 2);

    char tmpl[] = "/tmp/qvconf_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string ini = std::string(tmpl) + "/part.ini";
    std::ofstream(ini) << "[RX.RX_CFG]\nmode=0\n";
    Result r = qvconf(ini);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Failed GETVAR(wr_all) at line "), std::string::npos);
    EXPECT_NE(r.out.find("{-1, 0} };\n"), std::string::npos);  // the dump still comes
    std::remove(ini.c_str());
    rmdir(tmpl);
}

}  // namespace
