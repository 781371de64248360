// Hostile surroundings: closed or full standard streams, files that are not
// regular files, file-size limits, directories the run cannot read or
// write, files shared by a group or bind-mounted, and saves killed midway.
#include <sys/stat.h>

#include "child.h"
#include "gtest/gtest.h"

namespace {

const std::string Q = QUENLOR_PATH, C = CORVANE_PATH, T = ICFTOOL_PATH;
const std::string Ring = quarter_hours(4, 4);  // full: a save shifts it
const std::string Next = " -t " + key_of(Jan1 + 900 * 5) + " ";
const std::string Cut =
    "an update was cut short while it rewrote the file "
    "in place: the first byte is '~'";
bool Root = geteuid() == 0;
// Runs a command as an unprivileged user (when the test is root).
std::string as(int uid, const std::string &groups = "") {
  return !Root ? ""
               : "setpriv --reuid=" + std::to_string(uid) +
                     " --regid=" + std::to_string(uid) +
                     (groups.empty() ? " --clear-groups"
                                     : " --groups=" + groups) +
                     " ";
}

struct Case {
  std::string line;
  int status;
  std::string err;  // the end of standard error
  bool saved;       // f changed
};

TEST(Hostile, StreamsSpecialFilesAndLimits) {
  const std::string name(250, 'n'), prog(90, 'q');
  const std::string Big = "sed s/S=4/S=40/ f >b && " + Q + " -t " +
                          key_of(Jan1 + 900 * 20) +
                          " b && (trap - XFSZ; ulimit -f 1; exec ";
  const Case cases[] = {
      {C + " f 991231000000 s 2>&-", 1, "", false},
      {C + " f " + key_of(Jan1) + " s >&-", 0, "", true},
      {Q + Next + "f >&-", 1, "quenlor: Cannot write output\n", true},
      {C + " -n f " + key_of(Jan1) + " s >/dev/full", 1,
       "corvane: Cannot write output\n", true},
      {T + " show f >/dev/full", 1, "icftool: Cannot write output\n", false},
      {Q + " p", 1, "quenlor: Invalid checkpoint file: p\n", false},
      {T + " show p", 1, "icftool: Invalid checkpoint file: p\n", false},
      {T + " check /dev/zero", 1,
       "Invalid checkpoint file: /dev/zero: not a regular file\n", false},
      // Over 512 bytes, so that the limit stops the file but not the message.
      {Big + Q + Next + "b)", 1, "quenlor: Cannot write checkpoint file: b\n",
       false},
      {Big + C + " b " + key_of(Jan1 + 900 * 10) + " s)", 1,
       "corvane: Cannot write checkpoint file: b\n", false},
      {"cp f " + name + " && " + Q + Next + name + " && cmp -s f " + name, 1,
       "", false},
      // A working directory deeper than PATH_MAX.
      {"exec 3<f; d=$(printf %0200d 0); (for i in $(seq 22); do mkdir $d && "
       "cd -P $d || exit 9; done; cat <&3 >g; exec " +
           Q + Next + "g); rc=$?; rm -rf $d; exit $rc",
       0, "", false},
      {"ln -s " + Q + " " + prog + " && ./" + prog + " -d " +
           std::string(64, '1') + " f",
       1, prog + ": Delay string should be less than 64\n", false},
#ifndef __SANITIZE_ADDRESS__  // which needs more address space
      {T + " create -f f 900 1000000 3 && prlimit --as=60000000 " + T +
           " check f >&2",
       1,
       "f:2: no memory here for a table of ENTRIES=1000000; the programs "
       "cannot open the file on this machine\n",
       true},
#endif
  };
  for (const Case &c : cases) {
    Scratch s(Ring);
    Ran r = s.run("mkfifo p && timeout 20 sh -c '" + c.line + "'");
    EXPECT_EQ(r.status, c.status) << c.line << "\n" << r.err;
    EXPECT_TRUE(r.err.ends_with(c.err)) << c.line << "\n" << r.err;
    EXPECT_EQ(s.read() != Ring, c.saved) << c.line;
  }
}

// `icftool show` into a pipe that is not read holds no lock meanwhile.
TEST(Hostile, SlowReaderDoesNotHoldUpRuns) {
  Scratch s(quarter_hours(4000, 4000));
  Ran r = s.run(T + " show f | sleep 30 & sleep 1; " + Q + " -t " +
                key_of(Jan1 + 900 * 4002) + " f; echo $?; kill $!");
  EXPECT_TRUE(r.out.ends_with("\n0\n")) << r.out << r.err;
}

// Who may write what decides between the rename and the rewrite in place;
// either way the file keeps its owner, group, mode, inode where it must, and
// links.
TEST(Identity, FileKeepsOwnerGroupModeAndLinks) {
  struct Setup {
    std::string prepare, runner;
    bool root_only;
  } setups[] = {
      {"chmod 0555 .", as(65534), false},  // cannot write it: in place
      {"ln f g", "", false},               // hard link: in place
      // Another member of the file's group, in a group directory.
      {"chmod 0660 f && chown 1000:2000 f . && chmod 0770 .", as(1001, "2000"),
       true},
      // The owner, whose own group is not the file's.
      {"chmod 0660 f && chown 1000:2000 f . && chmod 0770 .",
       as(1000, "1000,2000"), true},
      // A world-writable file of another user in a sticky directory.
      {"chmod 0666 f && chown 1000:1000 f && chmod 1777 .", as(1001), true},
      // A file bind-mounted onto its path: the rename fails with EBUSY.
      {"cp f g && touch h", "unshare -m sh -c 'mount --bind g h && exec ",
       true},
  };
  for (const Setup &setup : setups) {
    if (setup.root_only && !Root) {
      GTEST_SKIP() << "identity cases with other users need root: skipped";
    }
    Scratch s(Ring);
    if (Root && setup.runner.starts_with("setpriv"))
      chown((s.dir + "/f").c_str(), 65534, 65534),
          chown(s.dir.c_str(), 65534, 65534);
    struct stat before, after;
    bool bind = setup.runner.starts_with("unshare");
    std::string f = bind ? "h" : "f";
    ASSERT_EQ(s.run(setup.prepare).status, 0) << setup.prepare;
    stat((s.dir + "/f").c_str(), &before);
    Ran r = s.run(setup.runner + Q + Next + f + (bind ? "'" : ""));
    chmod(s.dir.c_str(), 0755);
    stat((s.dir + "/f").c_str(), &after);
    EXPECT_EQ(r.status, 0) << setup.prepare << "\n" << r.err;
    EXPECT_NE(s.read(bind ? "g" : "f"), Ring) << setup.prepare;
    EXPECT_EQ(unhealthy(s.dir + (bind ? "/g" : "/f")), "");
    EXPECT_TRUE(before.st_uid == after.st_uid &&
                before.st_gid == after.st_gid &&
                before.st_mode == after.st_mode)
        << setup.prepare;
    if (setup.prepare.starts_with("ln")) {
      EXPECT_EQ(s.read("g"), s.read("f"));
    }
    EXPECT_EQ(s.run("ls | grep -c f.").out, "0\n");  // no temporary left
  }
}

// The leak checker of a sanitizer build does not work under ptrace.
const std::string Strace = "ASAN_OPTIONS=detect_leaks=0 strace ";
bool have_strace() { return std::system("strace -V >/dev/null 2>&1") == 0; }

// A save rewritten in place and killed at each of its writes leaves the old
// table, the new one, or a file the programs refuse and check explains;
// putting back the 'P' then gives the old or the new table.
TEST(Kill, AtEachWriteOfAnInPlaceSave) {
  if (!have_strace()) GTEST_SKIP() << "strace is missing: not run";
  Scratch done(Ring);
  ASSERT_EQ(done.run("ln f g && " + Q + Next + "f").status, 0);
  const std::string fresh = unstamped(done.read());
  int refused = 0;
  for (int n = 1; n <= 4; ++n) {
    Scratch s(Ring);
    s.run("ln f g && " + Strace +
          "-o /dev/null -e trace=pwrite64 "
          "-e inject=pwrite64:signal=SIGKILL:when=" +
          std::to_string(n) + " " + Q + Next + "f");
    std::string text = s.read();
    if (text[0] == '~') {
      ++refused;
      Ran check = s.run(T + " check f");
      EXPECT_EQ(check.status, 1);
      EXPECT_NE(check.out.find(Cut), std::string::npos) << check.out;
      EXPECT_EQ(s.run(Q + " f").err, "quenlor: Invalid checkpoint file: f\n");
      text[0] = 'P';
    }
    EXPECT_TRUE(text == Ring || unstamped(text) == fresh) << n << text;
  }
  EXPECT_EQ(refused, 2);  // killed after the mark: before and after the text
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
