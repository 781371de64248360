// Runs the built icftool (and quenlor and corvane, to write real files) as
// a user would, through the shell, in a scratch directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Ran {
  int status;
  std::string out, err;
};

const std::string Usage =
    "usage: icftool create [-f] file period entries retries\n"
    "       icftool show [-j] file\n       icftool check file\n"
    "       icftool -h\n";

// Around the end of summer time 2024: 01:30 EDT, 01:45 EDT, 02:00 EST.
const std::string Healthy =
    "PERIOD=900\nENTRIES=4\nRETRIES=2\n"
    "241103013000 67270a58 s 241103015007 0000\n"
    "241103014500 67270ddc r 241103030211 0001\n"
    "241103020000 67271f70 n 241103031500 0000\n";

std::string edit(std::string text, const std::string &from,
                 const std::string &to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

class IcfTool : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/icftool_test.XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    ASSERT_EQ(system(("chmod -R u+w " + dir_ + "; rm -rf " + dir_).c_str()), 0);
  }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  void write(const std::string &name, const std::string &text) const {
    std::ofstream(path(name), std::ios::binary) << text;
  }
  std::string read(const std::string &name) const {
    std::ostringstream text;
    text << std::ifstream(path(name), std::ios::binary).rdbuf();
    return text.str();
  }
  // A shell line run in the scratch directory in a zone with daylight
  // saving time; $T, $Q and $C name the three programs.
  std::string command(const std::string &line) const {
    return "cd " + dir_ +
           " && export TZ=EST5EDT,M3.2.0,M11.1.0 T=" ICFTOOL " Q=" QUENLOR
           " C=" CORVANE " && " +
           line;
  }
  Ran run(const std::string &line) const {
    int rc = system((command(line) + " >.out 2>.err").c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, read(".out"), read(".err")};
  }
  std::string dir_;
};

TEST_F(IcfTool, CommandLineAndCreate) {
  const std::string extra =
      "icftool: Missing or extra arguments on command line\n";
  write("live.icf", Healthy);
  struct Case {
    std::string line;
    int status;
    std::string err;
  } cases[] = {
      {"$T", 1, Usage},
      {"$T -h", 0, Usage},
      {"$T frob", 1, "icftool: Unknown command: frob\n" + Usage},
      {"$T show -x f", 1, "icftool: Invalid command-line option \"x\"\n"},
      {"$T show f -j", 1, extra},  // options end at the first operand
      {"$T create f 900 96", 1, extra},
      {"ln -s $T tool && ./tool check", 1, "tool" + extra.substr(7)},
      {"$T show -j missing.icf", 1,
       "icftool: Cannot open checkpoint file: missing.icf: No such file or "
       "directory\n"},
      // Bad numbers are refused before any file is touched.
      {"$T create new.icf 0 96 3", 1,
       "icftool: Invalid period: 0 (seconds, 1 or more)\n"},
      {"$T create new.icf 2147483648 96 3", 1,
       "icftool: Invalid period: 2147483648 (seconds, 1 or more)\n"},
      {"$T create -f live.icf 15m 96 3", 1,
       "icftool: Invalid period: 15m (seconds, 1 or more)\n"},
      {"$T create -f live.icf 900 0 3", 1,
       "icftool: Invalid entries: 0 (1 or more)\n"},
      {"$T create -f live.icf 900 96 -1", 1,
       "icftool: Invalid retries: -1 (0 or more)\n"},
      {"$T create live.icf 900 96 3", 1,
       "icftool: File exists: live.icf (-f replaces it)\n"},
  };
  for (const Case &c : cases) {
    Ran r = run(c.line);
    EXPECT_EQ(r.status, c.status) << c.line;
    EXPECT_EQ(r.err, c.err) << c.line;
    EXPECT_EQ(r.out, "") << c.line;
  }
  EXPECT_NE(run("ls new.icf").status, 0);
  EXPECT_EQ(read("live.icf"), Healthy);
  EXPECT_EQ(
      run("$T create new.icf 900 96 3 && $T create -f live.icf 60 1 0").status,
      0);
  EXPECT_EQ(read("new.icf"), "PERIOD=900\nENTRIES=96\nRETRIES=3\n");
  EXPECT_EQ(read("live.icf"), "PERIOD=60\nENTRIES=1\nRETRIES=0\n");
  EXPECT_EQ(run("$T show -j live.icf | jq -e '.entries == [] and "
                ".oldest_pending == null and .header.PERIOD == 60'")
                .status,
            0);
}

// Every status, a byte that is not UTF-8, a control byte and a quote, from
// a read-only file.
TEST_F(IcfTool, ShowListsEntriesAndSummary) {
  const std::string file =
      "PERIOD=900\nENTRIES=8\nRETRIES=2\n"
      "241103013000 67270a58 s 241103015007 0000\n"
      "241103014500 67270ddc r 241103030211 0001\n"
      "241103020000 67271f70 x 241103031500 0003\n"
      "241103021500 00000000 a 241103031600 0000\n"
      "241103023000 67272678 n 241103031700 0000\n"
      "241103024500 672729fc \" 24110303\xc3\xa9\xff\x01 0000\n";
  write("f.icf", file);
  ASSERT_EQ(chmod(path("f.icf").c_str(), 0444), 0);
  Ran r = run("$T show f.icf");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      r.out,
      "241103013000  2024-11-03 01:30:00 EDT  done       0  241103015007\n"
      "241103014500  2024-11-03 01:45:00 EDT  retry      1  241103030211\n"
      "241103020000  2024-11-03 02:00:00 EST  failed     3  241103031500\n"
      "241103021500  2024-11-03 02:15:00 EST  again      0  241103031600\n"
      "241103023000  2024-11-03 02:30:00 EST  new        0  241103031700\n"
      "241103024500  2024-11-03 02:45:00 EST  unknown '\"'    0  "
      "24110303\xc3\xa9\xff\x01\n"
      "PERIOD=900 ENTRIES=8 RETRIES=2\n"
      "6 entries: 1 new, 1 done, 1 retry, 1 again, 1 failed, 1 unknown\n"
      "oldest pending: 241103014500  2024-11-03 01:45:00 EDT\n");
  r =
      run("$T show -j f.icf | jq -c '[.file, .header.RETRIES, .entries[3].time,"
          " .entries[5].status, .entries[5].stamp, .count.retry, "
          ".oldest_pending.start]'");
  EXPECT_EQ(r.out,
            "[\"f.icf\",2,1730618100,\"unknown '\\\"'\",\"24110303\xc3\xa9\xc3"
            "\xbf\\u0001\",1,\"2024-11-03 01:45:00 EDT\"]\n")
      << r.err;
  EXPECT_EQ(read("f.icf"), file);

  write("bad.icf", edit(Healthy, " 0001\n241103020000", "\n241103020000"));
  r = run("$T show bad.icf");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "icftool: Invalid checkpoint file: bad.icf\n");
}

// show and check wait while a run holds the file, then read it.
TEST_F(IcfTool, ReadersWaitForARunningUpdate) {
  write("f.icf", Healthy);
  int fd = open(path("f.icf").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  std::vector<pid_t> readers;
  for (const char *line : {"$T show f.icf >show.out", "$T check f.icf"}) {
    if (pid_t pid = fork(); pid != 0) {
      readers.push_back(pid);
      continue;
    }
    execl("/bin/sh", "sh", "-c", command(line).c_str(), (char *)nullptr);
    _exit(127);
  }
  usleep(300 * 1000);
  int status;
  for (pid_t pid : readers) EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0);
  close(fd);
  for (pid_t pid : readers) {
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(read("show.out").substr(0, 12), "241103013000");
}

TEST_F(IcfTool, CheckFindsEachProblem) {
  const std::string h = Healthy;
  const std::pair<std::string, std::string> cases[] = {
      {edit(h, "PERIOD=900", "PERIOD=0"), ":1: PERIOD=0 is below 1"},
      {edit(h, "RETRIES=2", "RETRIES=-1"), ":3: RETRIES=-1 is below 0"},
      {edit(h, "900", "9999999999"),
       ":1: PERIOD is too large for a 32-bit number"},
      {edit(h, "ENTRIES=4", "ENTRIES 4"),
       ":2: the header is not the three lines PERIOD=, ENTRIES= and "
       "RETRIES=, each with a number; the programs cannot read the file"},
      {edit(h, "ENTRIES=4", "ENTRIES=2"),
       ": 3 entry lines, more than ENTRIES=2: the oldest 1 are dropped at "
       "the next update"},
      {edit(h, "241103014500 67270ddc", "241103020000 67271f70"),
       ":6: entry 241103020000 is not later than the entry before it "
       "(241103020000)"},
      {edit(h, "67271f70", "67271f71"),
       ":6: key 241103020000 does not name its time 67271f71 (241103020001)"},
      {edit(h, "r 2411", "R 2411"), ":5: unknown status letter 'R'"},
      {edit(h, "0001", "0004"), ":5: retry count 4 is above RETRIES + 1 (3)"},
      {edit(h, "7 0000", "7 -001"), ":4: retry count -1 is below 0"},
      {edit(h, "241103031500", "yesterday"),
       ":6: stamp yesterday is not a valid time"},
      {edit(h, "67271f70", "167271f70"),
       ":6: time 167271f70 is too large for 32 bits"},
      {edit(h, "241103020000 67271f70 n", "241103029900 67271f70 a"),
       ":6: key 241103029900 does not name a valid time"},
      {edit(h, "500 0000\n", "500\n"),
       ":6: partial record: 4 of 5 fields; the programs cannot read the file"},
      {edit(h, "241103020000 ", "2411030200000 "),
       ":6: cannot read the record: the key is longer than 12 characters; "
       "later lines are not checked"},
  };
  for (const auto &[file, report] : cases) {
    write("f.icf", file);
    Ran r = run("$T check f.icf");
    EXPECT_EQ(r.status, 1) << report;
    EXPECT_EQ(r.out + r.err, "f.icf" + report + "\n");
  }
  // Line breaks carry no meaning, and the last one may be missing.
  std::string joined = edit(edit(h, "67270ddc r", "67270ddc\n\n r"),
                            " 0001\n241103020000", " 0001 241103020000");
  joined.pop_back();
  const std::string healthy[] = {
      h, "PERIOD=900\nENTRIES=4\nRETRIES=2", joined,
      // Both moments of the repeated hour share a key.
      edit(h, "241103014500 67270ddc r", "241103013000 67271868 r"),
      // The time column of an 'a' line is rewritten from its key.
      edit(h, "67271f70 n", "00000000 a"),
      // corvane goes on counting retries of a failed interval.
      edit(h, "s 241103015007 0000", "x 241103015007 0007")};
  for (const std::string &file : healthy) {
    write("f.icf", file);
    Ran r = run("$T check f.icf");
    EXPECT_EQ(r.status, 0) << file << r.out;
    EXPECT_EQ(r.out + r.err, "");
  }
}

// Job cycles across both daylight-saving changes, with ring wraps, retries
// beyond RETRIES, repeated-hour keys and a new file's first intervals.
TEST_F(IcfTool, CheckPassesFilesTheProgramsWrote) {
  const std::vector<std::string> jobs[] = {
      {"$T create f 900 6 1", "$Q -t 241103003200 f", "$Q -t 241103030000 f",
       "$C f 241103014500 r", "$C f 241103014500 r", "$C f 241103014500 r",
       "$C f 241103020000 s", "$C -n -t 241103030000 f 241103021500 a",
       "$Q -n 241103014500 -t 241103030000 f", "$C f 241103013000 x"},
      {"$T create f 3600 48 3", "$Q -t 241102220000 f", "$Q -t 241103050000 f",
       "$C f 241103010000 s", "$C f 241103020000 r"},
      {"$T create f 900 96 2", "$Q -t 240310013000 f",
       "$Q -s -t 240310031000 f", "$C f 240310014500 x"},
      {"$T create f 86400 10 2", "$Q -t 240308103010 f",
       "$Q -t 240312000500 f"},
      {"$T create f 21600 20 2", "$Q -t 241102103010 f",
       "$Q -t 241104000000 f"},
  };
  for (const auto &job : jobs) {
    ASSERT_EQ(run("rm -f f").status, 0);
    for (const std::string &line : job) {
      Ran r = run(line);
      ASSERT_EQ(r.status, 0) << line << ": " << r.err;
    }
    Ran r = run("$T check f && $T show -j f | jq -e .entries[0].key");
    EXPECT_EQ(r.status, 0) << job[0] << "\n" << read("f") << r.out;
    EXPECT_EQ(r.out.size(), 15u) << r.out << r.err;
  }
}

}  // namespace
