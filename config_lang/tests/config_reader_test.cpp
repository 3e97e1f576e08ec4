#include "config_reader.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "coeff_file.h"
#include "number_text.h"

namespace {

// Whether `read` returns within a minute, tried in a child process with its
// output dropped: a reader that waits for a FIFO's writer or reads /dev/zero
// without end must not hang the test program.
bool ends_in_time(const std::function<void()>& read) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (std::freopen("/dev/null", "w", stdout) && std::freopen("/dev/null", "w", stderr))
            read();
        _exit(0);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
}

// A scratch directory with configuration files; removed afterwards.
class ConfigFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qvcfg_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    std::string write(const std::string& name, const std::string& text) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // Loads `path` and returns what the scanner printed on standard output.
    std::string load(const std::string& path) {
        ::testing::internal::CaptureStdout();
        reader_.load(path);
        return ::testing::internal::GetCapturedStdout();
    }

    std::string value(const std::string& key) const {
        auto it = reader_.values().find(key);
        return it == reader_.values().end() ? "<missing>" : it->second;
    }

    std::string dir_;
    config_reader_ reader_;
};

TEST_F(ConfigFiles, WorkedExampleWithSourceAndInclude) {
    write("chan.ini",
          "[HTRD]\n"
          "nco_frq = 0x2A\n"
          "[DFIR1]\n"
          "file_coef = ../fir/lp1.txt\n");
    std::string top = write("top.ini",
                            "// receiver set-up\n"
                            "[RX.RX_CFG]\n"
                            "wr_all = 1  mode = 2\n"
                            "[CH1]\n"
                            "#source \"chan.ini\"\n"
                            "I = 5\n");
    // Blanks between a name and its '=' and between a directive keyword and
    // its file name are echoed: one per assignment and one for "#source" here.
    EXPECT_EQ(load(top), "      ");
    EXPECT_EQ(value("RX.RX_CFG.wr_all"), "1");
    EXPECT_EQ(value("RX.RX_CFG.mode"), "2");
    EXPECT_EQ(value("CH1.HTRD.nco_frq"), "0x2A");
    EXPECT_EQ(value("CH1.DFIR1.file_coef"), "../fir/lp1.txt");
    EXPECT_EQ(value("CH1.I"), "5");
    EXPECT_EQ(reader_.values().size(), 5u);

    // The same file pulled in with "#include" starts from an empty section.
    write("top.ini", "[CH1]\n#include \"chan.ini\"\nI = 5\n");
    load(top);
    EXPECT_EQ(value("HTRD.nco_frq"), "0x2A");
    EXPECT_EQ(value("DFIR1.file_coef"), "../fir/lp1.txt");
    EXPECT_EQ(value("CH1.I"), "5");
    EXPECT_EQ(reader_.values().size(), 3u);

    // "#source" with a filter keeps only .CH1.HTRD...; the rest of the
    // directive's line is read after the file.
    write("top.ini", "[CH1]\n#source \"chan.ini\" HTRD x=1\n");
    load(top);
    EXPECT_EQ(value("CH1.HTRD.nco_frq"), "0x2A");
    EXPECT_EQ(value("CH1.DFIR1.file_coef"), "<missing>");
    EXPECT_EQ(value("CH1.x"), "1");
}

TEST_F(ConfigFiles, FilterIsAPlainPrefixOfItsOwnFileOnly) {
    write("inner.ini", "[CH1]\na = 1\n");
    write("x.ini", "[CH1]\nb = 2\n[CH10]\nc = 3\n[CH2]\nd = 4\n#include \"inner.ini\"\n[Z]\ne=5\n");
    std::string top = write("top.ini", "#include \"x.ini\" CH1\n");
    load(top);
    EXPECT_EQ(value("CH1.b"), "2");
    EXPECT_EQ(value("CH10.c"), "3");  // .CH10 begins with .CH1
    EXPECT_EQ(value("CH2.d"), "<missing>");
    EXPECT_EQ(value("CH1.a"), "1");  // inner.ini has no filter of its own
    EXPECT_EQ(value("Z.e"), "<missing>");
}

TEST_F(ConfigFiles, HeadersAssignmentsAndUnrecognizedCharacters) {
    std::string top = write("top.ini",
                            "[A]\n"
                            "  [B]\n"            // indented: not a header
                            "x=1;\n"             // ';' reported, value kept
                            "y = 2 z= 3 // c\n"  // two assignments, then a comment
                            "// comment\n"
                            "[C.D]\n"  // header right after a line comment
                            "w = 4\n"
                            "w = 5\n"  // last assignment wins
                            "lonely\n" +
                                std::string(1, '\0') +  // shown as \0
                                "// a last comment without a line end");
    std::string out = load(top);
    EXPECT_EQ(out, "Unrecognized character: [, file " + top +
                       "\n"
                       "Unrecognized character: B, file " +
                       top +
                       "\n"
                       "Unrecognized character: ], file " +
                       top +
                       "\n"
                       "Unrecognized character: ;, file " +
                       top +
                       "\n"
                       "   "
                       "Unrecognized character: l, file " +
                       top +
                       "\n"
                       "Unrecognized character: o, file " +
                       top +
                       "\n"
                       "Unrecognized character: n, file " +
                       top +
                       "\n"
                       "Unrecognized character: e, file " +
                       top +
                       "\n"
                       "Unrecognized character: l, file " +
                       top +
                       "\n"
                       "Unrecognized character: y, file " +
                       top +
                       "\n"
                       "Unrecognized character: \\0, file " +
                       top + "\n");
    EXPECT_EQ(value("A.x"), "1");
    EXPECT_EQ(value("A.y"), "2");
    EXPECT_EQ(value("A.z"), "3");
    EXPECT_EQ(value("C.D.w"), "5");
    EXPECT_EQ(reader_.values().size(), 4u);
}

TEST_F(ConfigFiles, ValueForms) {
    std::string top = write("top.ini",
                            "q = \"two\nlines = # // x\"\n"  // quoted, multi-line
                            "e =\nnext rest=7\n"             // '=' ends its line
                            "b\t=  -0x10/a.b\n"              // blanks before '=' are echoed
                            "/* block\n[X]\nc=9 */ after = 8\n"
                            "$v.w_1 = 1.5\n");
    std::string out = load(top);
    EXPECT_EQ(value("q"), "\"two\nlines = # // x\"");
    EXPECT_EQ(value("e"), "next");
    EXPECT_EQ(value("rest"), "7");
    EXPECT_EQ(value("b"), "-0x10/a.b");
    EXPECT_EQ(value("after"), "8");
    EXPECT_EQ(value("X.c"), "<missing>");
    EXPECT_EQ(value("$v.w_1"), "1.5");
    EXPECT_EQ(out, "  \n\t  ");
}

TEST_F(ConfigFiles, VariableNameIsCutAt1000Characters) {
    std::string name(1200, 'n');
    std::string top = write("top.ini", name + "=1\n");
    load(top);
    EXPECT_EQ(value(std::string(1000, 'n')), "1");
}

TEST_F(ConfigFiles, DirectiveFailures) {
    mkdir((dir_ + "/sub").c_str(), 0700);
    write("sub/in.ini", "[S]\nv=1\n#include \"../back.ini\"\n");
    write("back.ini", "w=2\n");
    std::string top = write("top.ini",
                            "[T]\n"
                            "#include \"nothere.ini\"\n"
                            "a = 1\n"
                            "#include \"bad-name.ini\"\n"  // '-' is no file name character
                            "b = 2\n"
                            "\"sub/in.ini\"\n"  // taken as the directive's file
                            "c = 3\n");
    std::string out = load(top);
    EXPECT_EQ(out, " Error opening file " + dir_ +
                       "/nothere.ini\n"
                       "  \"bad-name.ini\"\nb = 2\n  ");
    EXPECT_EQ(value("T.a"), "1");
    EXPECT_EQ(value("T.b"), "<missing>");
    EXPECT_EQ(value("S.v"), "1");
    EXPECT_EQ(value("w"), "2");  // resolved against sub/
    EXPECT_EQ(value("T.c"), "3");
}

TEST_F(ConfigFiles, OpenConstructsCarryOverAFileEnd) {
    // The scanner state is not reset when an included file ends: a comment
    // left open swallows the includer's text up to its end marker, an
    // assignment left open takes its value from the includer.
    write("open_comment.ini", "a=1 /* open");
    write("open_value.ini", "v=");
    std::string top = write("top.ini",
                            "#include \"open_comment.ini\"\nb=2 */ c=3\n"
                            "#include \"open_value.ini\"\nw\n");
    load(top);
    EXPECT_EQ(value("a"), "1");
    EXPECT_EQ(value("b"), "<missing>");
    EXPECT_EQ(value("c"), "3");
    EXPECT_EQ(value("v"), "w");
    EXPECT_EQ(reader_.values().size(), 3u);
}

TEST_F(ConfigFiles, DirectiveOnTheLastLineWithoutLineEnd) {
    // The file ends right after the directive's closing quote (and blanks):
    // the directive is complete, in a top-level and in an included file.
    write("leaf.ini", "[L]\nx=1\n#include \"never.ini\"");
    write("mid.ini", "m=1\n#source \"leaf.ini\"  ");
    std::string top = write("top.ini", "[T]\n#include \"mid.ini\"");
    std::string out = load(top);
    EXPECT_EQ(value("m"), "1");
    EXPECT_EQ(value("L.x"), "1");
    EXPECT_EQ(out, "   Error opening file " + dir_ + "/never.ini\n");  // a blank after each keyword
    EXPECT_EQ(reader_.load_result().error, 0);
}

TEST_F(ConfigFiles, SelfIncludeStopsAtDepth100) {
    // Each level counts once before including itself again.
    std::string top = write("self.ini", "n=1\n#include \"self.ini\"\nafter = 1\n");
    // One echoed blank per directive followed: depths 0..99.
    std::string out = load(top);
    EXPECT_EQ(out, std::string(100, ' '));
    EXPECT_EQ(value("n"), "1");
    EXPECT_EQ(value("after"), "<missing>");

    // The limit: a chain of 101 files (depths 0..100) is read whole, the
    // directive in the file at depth 100 ends the load.
    for (int i = 0; i <= 101; ++i)
        write("c" + std::to_string(i) + ".ini", "v" + std::to_string(i) + "=1\n#include \"c" +
                                                    std::to_string(i + 1) + ".ini\"\nz=1\n");
    load(dir_ + "/c0.ini");
    EXPECT_EQ(value("v100"), "1");
    EXPECT_EQ(value("v101"), "<missing>");
    EXPECT_EQ(value("z"), "<missing>");
}

TEST_F(ConfigFiles, CarriageReturnsBeforeLineFeedsAreDropped) {
    std::string body = "[A]\r\nx = 1\r\n// c\r\n[B]\r\ny = \"p\r\nq\"\r\n";
    // Put a CR LF pair across the 8192-byte read boundary.
    std::string top =
        write("crlf.ini", "z=0" + std::string(8188, ' ') + "\r\n" + body + "l\rm=2\r\n");
    std::string out = load(top);
    EXPECT_EQ(value("z"), "0");
    EXPECT_EQ(value("A.x"), "1");
    EXPECT_EQ(value("B.y"), "\"p\nq\"");
    EXPECT_EQ(value("B.m"), "2");
    // A lone CR is still an unrecognized character.
    EXPECT_EQ(out, "  Unrecognized character: l, file " + top +
                       "\nUnrecognized character: \r, file " + top + "\n");
}

TEST_F(ConfigFiles, TokenJustUnderTheBufferSizeReads) {
    std::string top = write("long.ini", "b = " + std::string(16000, 'y') + "\nc = 3\n");
    EXPECT_EQ(reader_.load(top), 0);
    EXPECT_EQ(value("b").size(), 16000u);
    EXPECT_EQ(value("c"), "3");
}

// What a load tells about its files: a stop names the file being read
// (absolute path) and its line, in the outcome and in one line on standard
// error; the program goes on. A top-level file that cannot be opened prints
// nothing. "$D" stands for the working directory, where the files are.
TEST_F(ConfigFiles, LoadOutcomeNamesTheFileAndLine) {
    const std::string overflow =
        "input buffer overflow, can't enlarge buffer because scanner uses REJECT";
    const std::string too_deep = "directives nested more than 100 files deep";
    // Each file includes the next twice: 8191 files if nothing stopped it.
    std::vector<std::pair<std::string, std::string>> fan_out = {{"f12.ini", "leaf=1\n"}};
    for (int i = 0; i < 12; ++i) {
        const std::string next = "#include \"f" + std::to_string(i + 1) + ".ini\"\n";
        fan_out.push_back(
            {"f" + std::to_string(i) + ".ini",
             "v" + std::to_string(i) + "=1\n" + next + next + "end" + std::to_string(i) + "=1\n"});
    }
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>>
            files;  // a name ending in '/' is a directory
        std::string top;
        int error;
        std::string message, unopened;
        std::string kept, dropped;  // a key stored before the stop, one that comes after it
        std::string stop_key = "";  // the key whose value was being read at the stop
    };
    const Case cases[] = {
        {"missing top-level file",
         {},
         "sub/../none.ini",
         -ENOENT,
         "Cannot open the configuration file \"$D/sub/../none.ini\": No such file or directory "
         "(working directory: $D).",
         "",
         "",
         "a"},
        {"top-level directory",
         {{"t.ini/", ""}},
         "t.ini",
         -EISDIR,
         "Cannot open the configuration file \"$D/t.ini\": Is a directory (working directory: $D).",
         "",
         "",
         ""},
        {"over-long token in a sourced file, lines counted over multi-line constructs",
         {{"top.ini", "a = 1\n[S]\n#source\"inc.ini\"\nz = 2\n"},
          {"inc.ini", "q = \"x\ny\"\n/* c\n\n*/ // d\r\nb = " + std::string(20000, 'x') + "\n"}},
         "top.ini",
         -EOVERFLOW,
         "\"$D/inc.ini\", line 6: " + overflow +
             " (a name, value or comment longer than 16384 bytes).",
         "",
         "S.q",
         "S.z",
         "S.b"},
        {"#include of a directory",
         {{"d.ini/", ""}, {"top.ini", "a = 1\n\n#include\"d.ini\"\nb = 2\n"}},
         "top.ini",
         -EISDIR,
         "\"$D/top.ini\", line 3: input in flex scanner failed (\"$D/d.ini\" is a directory).",
         "",
         "a",
         "b"},
        // A FIFO or a device is never waited for or read: no end, no limit.
        {"#source of a FIFO",
         {{"fifo|", ""}, {"top.ini", "a = 1\n#source \"fifo\"\nb = 2\n"}},
         "top.ini",
         -EINVAL,
         "\"$D/top.ini\", line 2: input in flex scanner failed (\"$D/fifo\" is not a regular "
         "file).",
         "",
         "a",
         "b"},
        {"#include of /dev/zero",
         {{"top.ini", "a = 1\n#include \"../../../../../../../../dev/zero\"\nb = 2\n"}},
         "top.ini",
         -EINVAL,
         "\"$D/top.ini\", line 2: input in flex scanner failed "
         "(\"$D/../../../../../../../../dev/zero\" is not a "
         "regular file).",
         "",
         "a",
         "b"},
        {"#include of a file too large",
         {{"big.ini>", ""}, {"top.ini", "a = 1\n#include \"big.ini\"\nb = 2\n"}},
         "top.ini",
         -EFBIG,
         "\"$D/top.ini\", line 2: input in flex scanner failed (\"$D/big.ini\" is larger than "
         "16777216 bytes).",
         "",
         "a",
         "b"},
        {"top-level FIFO",
         {{"fifo|", ""}},
         "fifo",
         -EINVAL,
         "Cannot open the configuration file \"$D/fifo\": Not a regular file (working directory: "
         "$D).",
         "",
         "",
         ""},
        {"top-level device",
         {},
         "/dev/zero",
         -EINVAL,
         "Cannot open the configuration file \"/dev/zero\": Not a regular file (working directory: "
         "$D).",
         "",
         "",
         ""},
        {"directives too deep",
         {{"self.ini", "n=1\n#include\"self.ini\"\nafter = 1\n"}},
         "self.ini",
         -ELOOP,
         "\"$D/self.ini\", line 2: " + too_deep +
             " (include cycle: \"$D/self.ini\" -> \"$D/self.ini\").",
         "",
         "n",
         "after"},
        {"include cycle of two files",
         {{"a.ini", "n=1\n#include \"b.ini\"\nafter = 1\n"}, {"b.ini", "m=1\n#source \"a.ini\"\n"}},
         "a.ini",
         -ELOOP,
         "\"$D/a.ini\", line 2: " + too_deep +
             " (include cycle: \"$D/a.ini\" -> \"$D/b.ini\" -> \"$D/a.ini\").",
         "",
         "m",
         "after"},
        {"include fan-out", fan_out, "f0.ini", -EMFILE,
         "\"$D/f11.ini\", line 3: directives would open more than 1000 files in one load.", "",
         "leaf", "end0"},
        {"missing directive file: the load goes on",
         {{"top.ini", "[T]\n#include \"nothere.ini\"\na = 1\n"}},
         "top.ini",
         0,
         "",
         "Cannot open the file \"$D/nothere.ini\" (#include in \"$D/top.ini\", line 2): "
         "No such file or directory (working directory: $D).",
         "T.a",
         ""},
        {"good file", {{"top.ini", "a = 1\n"}}, "top.ini", 0, "", "", "a", ""},
    };
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    auto subst = [this](std::string text) {
        for (size_t p; (p = text.find("$D")) != std::string::npos;) text.replace(p, 2, dir_);
        return text;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& [name, text] : c.files) {
            const std::string path = dir_ + "/" + name.substr(0, name.size() - 1);
            if (name.back() == '/')
                mkdir(path.c_str(), 0700);
            else if (name.back() == '|')
                mkfifo(path.c_str(), 0600);
            else if (name.back() == '>')  // one byte over the limit, sparse
                ASSERT_EQ(truncate(write(name.substr(0, name.size() - 1), "").c_str(),
                                   off_t(qvcfg::kMaxFileBytes) + 1),
                          0);
            else
                write(name, text);
        }
        ASSERT_TRUE(ends_in_time([&] { config_reader_().load(c.top); }));
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int rc = reader_.load(c.top);
        const std::string err_out = ::testing::internal::GetCapturedStderr();
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, c.error);
        EXPECT_EQ(reader_.load_result().error, c.error);
        EXPECT_EQ(reader_.load_result().message, subst(c.message));
        EXPECT_EQ(reader_.load_result().unopened,
                  c.unopened.empty() ? std::vector<std::string>{}
                                     : std::vector<std::string>{subst(c.unopened)});
        const bool stopped = c.message.rfind("\"$D/", 0) == 0;
        EXPECT_EQ(err_out, stopped ? subst(c.message) + "\n" : "");
        EXPECT_EQ(reader_.load_result().opened, c.error == 0 || stopped);
        EXPECT_EQ(reader_.load_result().stop_key, c.stop_key);
        if (!c.kept.empty()) {
            EXPECT_NE(value(c.kept), "<missing>");
        }
        if (!c.dropped.empty()) {
            EXPECT_EQ(value(c.dropped), "<missing>");
        }
    }
    // A coefficient file is not waited for either.
    qvcfg::CoeffFile coefficients;
    ASSERT_TRUE(ends_in_time([] {
        qvcfg::CoeffFile c;
        qvcfg::read_coeff_file("fifo", 32, c);
    }));
    EXPECT_EQ(qvcfg::read_coeff_file("fifo", 32, coefficients), -EINVAL);
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(ConfigFiles, StoredKeysKnowWhereTheyWereAssigned) {
    const std::string inc = write("inc.ini", "\n[B]\nw = 1 y = 2\n[C]\nfiltered = 0\n");
    const std::string top = write("top.ini",
                                  "[A]\n"
                                  "q = \"two\n"  // a value over two lines
                                  "lines\" w = 0\n"
                                  "#source \"inc.ini\" B\n"
                                  "[A.B]\n"
                                  "x =\n"  // the value on the next line
                                  "3\n");
    load(top);
    struct Case {
        const char* key;
        std::string file;
        int line, value_line;
        size_t order;
    };
    const Case cases[] = {
        {"A.q", top, 2, 3, 0},   {"A.w", top, 3, 3, 1},   {"A.B.w", inc, 3, 3, 2},
        {"A.B.y", inc, 3, 3, 3}, {"A.B.x", top, 6, 7, 4},  // the key's name, not its value
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const key_place_* at = reader_.place(c.key);
        ASSERT_NE(at, nullptr);
        EXPECT_EQ(at->file, c.file);
        EXPECT_EQ(at->line, c.line);
        EXPECT_EQ(at->value_line, c.value_line);
        EXPECT_EQ(at->order, c.order);
    }
    EXPECT_EQ(reader_.place("A.C.filtered"), nullptr);  // dropped by the filter
    EXPECT_EQ(reader_.place("B.w"), nullptr);

    // A key assigned twice: where the last assignment stands; a relative
    // path is made absolute; a new load forgets the old places.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    write("twice.ini", "a = 1\n#include \"again.ini\"\n");
    write("again.ini", "\n\na = 2\n");
    load("twice.ini");
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_NE(reader_.place("a"), nullptr);
    EXPECT_EQ(reader_.place("a")->file, dir_ + "/again.ini");
    EXPECT_EQ(reader_.place("a")->line, 3);
    EXPECT_EQ(reader_.place("A.q"), nullptr);
}

TEST_F(ConfigFiles, OutputGoesWhereTheCallerSays) {
    // Copied blanks, an unrecognized character, an unopened directive file,
    // then a stop.
    const std::string top =
        write("top.ini", "a  = 1;\n#include \"none.ini\"\n#include \"top.ini\"\n");
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    for (std::FILE* err : {static_cast<std::FILE*>(nullptr), out}) {
        std::rewind(out);
        ASSERT_EQ(ftruncate(fileno(out), 0), 0);
        reader_.set_output(out, err);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(reader_.load(top), -ELOOP);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        std::fflush(out);
        std::string said(1 << 20, '\0');
        std::rewind(out);
        said.resize(std::fread(&said[0], 1, said.size(), out));
        EXPECT_EQ(said.rfind("  Unrecognized character: ;, file " + top + "\n Error opening file " +
                                 dir_ + "/none.ini\n   Unrecognized character: ;, file top.ini\n",
                             0),
                  0u)
            << said;
        const size_t stop_line = said.find(reader_.load_result().message + "\n");
        EXPECT_EQ(stop_line != std::string::npos, err != nullptr) << said;
    }
    std::fclose(out);
    // Nowhere at all.
    reader_.set_output(nullptr, nullptr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(reader_.load(top), -ELOOP);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(ConfigFiles, MissingFileLeavesAnEmptyStore) {
    std::string top = write("top.ini", "a = 1\n");
    load(top);
    ASSERT_EQ(reader_.values().size(), 1u);
    EXPECT_EQ(load(dir_ + "/none.ini"), "");
    EXPECT_TRUE(reader_.values().empty());
}

TEST_F(ConfigFiles, TypedLookupsInTheCurrentSection) {
    std::string top = write("top.ini",
                            "CH1.GAIN.I = 0x8003\n"
                            "[CH1.CIC2]\nmode = 1\n"
                            "[RX]\nbig = 4294967295\nneg = -1\noct = 010\nfrac = 1.5\n"
                            "quoted = \"12\"\nword = abc\nhuge = 99999999999999999999\n"
                            "nhuge = -99999999999999999999\nsp = -0x10\n");
    load(top);
    int32_t i = 7;
    uint32_t u = 7;
    std::string s = "keep";

    reader_.set_section("CH1.GAIN");
    EXPECT_TRUE(reader_.get_int("I", i));
    EXPECT_EQ(i, 32771);

    reader_.set_section("RX.RX_CFG");
    i = 7;
    EXPECT_FALSE(reader_.get_int("mode", i));
    EXPECT_EQ(i, 7);
    EXPECT_FALSE(reader_.get_string("mode", s));
    EXPECT_EQ(s, "keep");

    reader_.set_section("RX");
    struct Case {
        const char* key;
        int32_t as_int;
        uint32_t as_uint;
    };
    const Case cases[] = {
        {"big", 2147483647, 4294967295u},
        {"neg", -1, 4294967295u},
        {"oct", 8, 8u},
        {"frac", 1, 1u},
        {"quoted", 0, 0u},
        {"word", 0, 0u},
        {"huge", 2147483647, 4294967295u},
        {"nhuge", -2147483647 - 1, 4294967295u},
        {"sp", -16, 4294967280u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_TRUE(reader_.get_int(c.key, i));
        EXPECT_EQ(i, c.as_int);
        EXPECT_TRUE(reader_.get_uint(c.key, u));
        EXPECT_EQ(u, c.as_uint);
    }
    EXPECT_TRUE(reader_.get_string("quoted", s));
    EXPECT_EQ(s, "\"12\"");
}

TEST_F(ConfigFiles, LoadsInSeveralThreadsKeepTheirOwnState) {
    // Each load has its own scanner: interleaved loads of different files
    // (with nested directives) must not see each other's sections or stacks.
    write("inner_a.ini", "[IN]\nx=a\n");
    write("inner_b.ini", "y=b\n");
    std::string a = write("a.ini", "[A]\n#source\"inner_a.ini\"\nz=1\n");
    std::string b = write("b.ini", "[B.C]\n#include\"inner_b.ini\" y\nz=2\n");
    auto worker = [](std::string path, std::map<std::string, std::string>* last) {
        for (int i = 0; i < 50; ++i) {
            config_reader_ r;
            r.load(path);
            *last = r.values();
        }
    };
    std::map<std::string, std::string> va, vb;
    std::thread ta(worker, a, &va), tb(worker, b, &vb);
    ta.join();
    tb.join();
    EXPECT_EQ(va, (std::map<std::string, std::string>{{"A.IN.x", "a"}, {"A.z", "1"}}));
    EXPECT_EQ(vb, (std::map<std::string, std::string>{{"B.C.z", "2"}, {"y", "b"}}));
}

TEST(NumberText, SignsAndBlanks) {
    EXPECT_EQ(qvcfg::text_to_int("  +0X1f"), 31);
    EXPECT_EQ(qvcfg::text_to_int("0x"), 0);
    EXPECT_EQ(qvcfg::text_to_uint(" \t+7"), 7u);
    EXPECT_EQ(qvcfg::text_to_uint("- 1"), 0u);
    EXPECT_EQ(qvcfg::text_to_uint("--1"), 0u);
}

TEST(Getvar, ReportsMissingKeysAndKeepsTheDestination) {
    config_reader_ reader_;
    const char* QV_CHECK_FILE = "conf_agent";
    int32_t mode = 42;
    std::string file_coef = "x";
    ::testing::internal::CaptureStdout();
    reader_.set_section("RX.RX_CFG");
    bool found_mode = GETVAR(mode);
    const int line = __LINE__ - 1;
    bool found_file = GETVAR(file_coef);
    GETVAR(mode);
    reader_.set_section("CH1.CIC2");
    GETVAR(mode);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(found_mode);
    EXPECT_FALSE(found_file);
    EXPECT_EQ(mode, 42);
    EXPECT_EQ(file_coef, "x");
    EXPECT_EQ(reader_.failed_lookups(), 4);
    // Each key once, in the order of its first report.
    EXPECT_EQ(reader_.missing_keys(),
              (std::vector<std::string>{"RX.RX_CFG.mode", "RX.RX_CFG.file_coef", "CH1.CIC2.mode"}));
    const std::string first_two = "Failed GETVAR(mode) at line " + std::to_string(line) +
                                  " file conf_agent\n"
                                  "Failed GETVAR(file_coef) at line " +
                                  std::to_string(line + 2) + " file conf_agent\n";
    EXPECT_EQ(out.substr(0, first_two.size()), first_two);
}

}  // namespace
