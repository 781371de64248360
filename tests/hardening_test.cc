// Hostile surroundings: closed or full streams, a FIFO, file-size limits,
// files of other users or bind-mounted, and saves killed midway.
#include "child.h"
#include "gtest/gtest.h"

namespace {

const std::string Q = QUENLOR_PATH, C = CORVANE_PATH, T = ICFTOOL_PATH;
const std::string Ring = quarter_hours(4, 4);  // full: a save shifts it
const std::string Next = " -t " + key_of(Jan1 + 900 * 5) + " ";

TEST(Hostile, StreamsSpecialFilesAndLimits) {
  const std::string prog(90, 'q'), Pipe = "exec 6<>p 7>p 6<&- && ";
  const struct {
    std::string line;
    int status;
    std::string err;  // the end of standard error
    bool saved;
  } cases[] = {
      {C + " f 991231000000 s 2>&-", 1, "", false},
      {C + " f " + key_of(Jan1) + " s >&-", 0, "", true},
      {Q + Next + "f >&-", 1, "quenlor: Cannot write output\n", true},
      {C + " -n f " + key_of(Jan1) + " s >/dev/full", 1,
       "corvane: Cannot write output\n", true},
      {T + " mark f " + key_of(Jan1) + " " + key_of(Jan1 + 1800) +
           " s >/dev/full",
       1, "icftool: Cannot write output\n", true},
      {Q + " p", 1, "quenlor: Invalid checkpoint file: p\n", false},
      // A pipe whose reader has gone: no death by SIGPIPE.
      {Pipe + Q + Next + "f >&7", 1, "quenlor: Cannot write output\n", true},
      {Pipe + C + " -n f " + key_of(Jan1) + " s >&7", 1,
       "corvane: Cannot write output\n", true},
      {Pipe + T + " show f >&7", 1, "icftool: Cannot write output\n", false},
      // Over 512 bytes, so that the limit stops the file but not the message.
      {"sed s/S=4/S=40/ f >b && " + Q + " -t " + key_of(Jan1 + 900 * 20) +
           " b && (trap - XFSZ; ulimit -f 1; exec " + C + " b " +
           key_of(Jan1 + 900 * 10) + " s)",
       1, "corvane: Cannot write checkpoint file: b\n", false},
      {"ln -s " + Q + " " + prog + " && ./" + prog + " -d " +
           std::string(64, '1') + " f",
       1, prog + ": Delay string should be less than 64\n", false},
  };
  for (const auto &c : cases) {
    Scratch s(Ring);
    Ran r = s.run("mkfifo p && timeout 20 sh -c '" + c.line + "'");
    EXPECT_EQ(r.status, c.status) << c.line << "\n" << r.err;
    EXPECT_TRUE(r.err.ends_with(c.err)) << c.line << "\n" << r.err;
    EXPECT_EQ(s.read() != Ring, c.saved) << c.line;
  }
}

// Who may write what decides between the rename and the rewrite in place;
// either way the file keeps its owner, group and mode.
TEST(Identity, FileKeepsOwnerGroupAndMode) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  const std::string setups[][2] = {
      {"chown 65534:65534 f . && chmod 0555 .",
       "setpriv --reuid=65534 --regid=65534 --clear-groups "},
      {"chmod 0660 f && chown 1000:2000 f . && chmod 0770 .",
       "setpriv --reuid=1001 --regid=1001 --groups=2000 "},
      {"chmod 0666 f && chown 1000:1000 f && chmod 1777 .",
       "setpriv --reuid=1001 --regid=1001 --clear-groups "},
      // A file bind-mounted onto its path: the rename fails with EBUSY.
      {"cp f g && touch h", "unshare -m sh -c 'mount --bind g h && exec "},
  };
  for (const auto &[prepare, runner] : setups) {
    Scratch s(Ring);
    bool bind = runner.starts_with("unshare");
    Ran r = s.run(prepare + " && stat -c %u:%g:%a f >a && " + runner + Q +
                  Next + (bind ? "h'" : "f"));
    s.run("chmod 0755 . && stat -c %u:%g:%a f >b");
    EXPECT_EQ(r.status, 0) << prepare << "\n" << r.err;
    EXPECT_EQ(unhealthy(s.dir + (bind ? "/g" : "/f")), "");
    EXPECT_NE(s.read(bind ? "g" : "f"), Ring) << prepare;
    EXPECT_EQ(s.read("a"), s.read("b")) << prepare;
    EXPECT_EQ(s.run("ls | grep -c f.").out, "0\n");  // no temporary left
  }
}

// The leak checker of a sanitizer build does not work under ptrace.
const std::string Strace = "ASAN_OPTIONS=detect_leaks=0 strace ";
bool have_strace() { return std::system("strace -V >/dev/null 2>&1") == 0; }

// An in-place save of a text growing past 64 KiB killed at each of its writes
// leaves the old table, the new one, or a file the programs refuse and check
// explains; putting back the 'P' before or after the text's writes then
// gives the old or the new table.
TEST(Kill, AtEachWriteOfAnInPlaceSave) {
  if (!have_strace()) GTEST_SKIP() << "strace is missing: not run";
  // Over 64 KiB after the save only: its second chunk is past the old end.
  const std::string big = quarter_hours(1500, 2000),
                    next = " -t " + key_of(Jan1 + 900 * 1701) + " f";
  Scratch done(big);
  ASSERT_EQ(done.run(Q + next).status, 0);  // renamed
  const std::string fresh = unstamped(done.read());
  int refused = 0;
  for (int n = 1; n <= 5; ++n) {
    Scratch s(big);
    s.run("ln f g && " + Strace +
          "-o /dev/null -e trace=pwrite64 -e "
          "inject=pwrite64:signal=SIGKILL:when=" +
          std::to_string(n) + " " + Q + next);
    std::string text = s.read();
    if (text[0] == '~') {
      ++refused;
      Ran check = s.run(T + " check f");
      EXPECT_EQ(check.status, 1);
      EXPECT_NE(check.out.find("was cut short"), check.out.npos) << check.out;
      EXPECT_EQ(s.run(Q + " f").err, "quenlor: Invalid checkpoint file: f\n");
      text[0] = 'P';
      if (refused == 2) continue;  // killed amid the text: a mixture
    }
    text.resize(std::min(text.size(), text.find('\0')));  // reserved space
    EXPECT_TRUE(text == big || unstamped(text) == fresh) << n;
  }
  EXPECT_EQ(refused, 3);  // killed after the mark: before, amid, after the text
}

// A failed read amid the file fails the run, though the part read is whole
// (counted in the reads of the file only: a loader reads too).
TEST(ReadBack, FailedReadLeavesTheFile) {
  if (!have_strace()) GTEST_SKIP() << "strace is missing: not run";
  std::string text = quarter_hours(1700, 2000);
  text.insert(33, 24, ' ');  // the first 64 KiB end with a line
  Scratch s(text);
  const char *eio = "-o /dev/null -P f -e inject=pread64:error=EIO:when=2 ";
  Ran r = s.run(Strace + eio + Q + " f");
  EXPECT_TRUE(r.status == 1 && s.read() == text);
}

// The new file is synced before it is renamed over the old one.
TEST(WriteBack, NewFileIsSyncedBeforeTheRename) {
  if (!have_strace()) GTEST_SKIP() << "strace is missing: not run";
  Scratch s(Ring);
  Ran r = s.run(Strace + "-o trace -e trace=fsync,rename " + Q + Next + "f");
  std::string trace = s.read("trace");
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(trace.find("fsync("), trace.find("rename(")) << trace;
}

}  // namespace
