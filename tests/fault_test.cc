// Faults during a run: a write-back that cannot be stored, and runs killed
// at random moments. A run either saves its change or fails with its
// message and leaves the previous file; never a mixture.
#include <signal.h>
#include <sys/mount.h>

#include <chrono>
#include <memory>
#include <random>

#include "child.h"
#include "gtest/gtest.h"

namespace {

// quenlor appends eight quarter-hours to a file of `count`, which makes it
// longer; corvane rewrites it at the same length.
std::string appending(const std::string &f, int count) {
  return QUENLOR_PATH " -t " + key_of(Jan1 + 900 * (count + 8)) + " " + f;
}
std::string marking(const std::string &f) {
  return CORVANE_PATH " " + f + " " + key_of(Jan1 + 900 * 5) + " s";
}

void expect_kept(const Scratch &s, const std::string &f,
                 const std::string &line, bool may_succeed = false) {
  std::string before = s.read(f);
  Ran r = s.run(line);
  EXPECT_EQ(unhealthy(s.dir + "/" + f), "");
  if (may_succeed && r.status == 0) return;
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty() &&
              r.err.ends_with(": Cannot write checkpoint file: " + f + "\n"))
      << r.err;
  EXPECT_EQ(s.read(f), before);
}

TEST(WriteBack, FileSizeLimitKeepsThePreviousFile) {
  std::string text = quarter_hours(60, 96), limit = "prlimit --fsize=";
  std::string size = std::to_string(text.size()),
              half = std::to_string(text.size() / 2);
  Scratch s(text);
  expect_kept(s, "f", limit + size + " " + appending("f", 60));
  expect_kept(s, "f", limit + half + " " + marking("f"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(s.dir), {}),
            3);  // f, .out, .err: nothing left behind
  EXPECT_EQ(s.run(appending("f", 60)).status, 0);
  EXPECT_NE(s.read(), text);
}

TEST(WriteBack, FullDiskKeepsThePreviousFile) {
  Scratch s;
  std::string mnt = s.dir + "/disk";
  std::filesystem::create_directory(mnt);
  if (mount("icf-test", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small file system here";
  std::shared_ptr<void> unmount(
      nullptr, [&](void *) { umount2(mnt.c_str(), MNT_DETACH); });
  // 96 entries fill the file's first 4 KiB page almost to its end.
  std::ofstream(mnt + "/f") << quarter_hours(96, 200);
  s.run("head -c 1M /dev/zero >disk/filler");  // until the disk is full
  expect_kept(s, "disk/f", appending("disk/f", 96));
  expect_kept(s, "disk/f", marking("disk/f"), true);
  // Hard-linked, it is rewritten in place: its space reservation fails.
  ASSERT_EQ(s.run("ln disk/f disk/g").status, 0);
  expect_kept(s, "disk/f", appending("disk/f", 96));
  std::filesystem::remove(mnt + "/g");
  std::filesystem::remove(mnt + "/filler");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mnt), {}), 1);
  EXPECT_EQ(s.run(appending("disk/f", 96)).status, 0);
  EXPECT_EQ(unhealthy(mnt + "/f"), "");
}

// Runs on a file of 4000 entries, each killed at a random moment within a
// run's usual length (or not at all, when it ends first).
TEST(Kill, RunsKilledAtRandomMomentsLeaveAWholeFile) {
  constexpr int Entries = 4000, Runs = 120, Calibration = 4;
  Scratch s(quarter_hours(Entries, Entries));
  std::string path = s.dir + "/f";
  std::mt19937 random(7);
  double usual_us = 0;  // the longest of the first, unkilled runs
  int killed = 0;
  for (int run = 0; run < Runs; run++) {
    IcfFile f;
    ASSERT_TRUE(icf_open_readonly(&f, "TEST", path.c_str()));
    const IcfTable &t = f.table;
    EXPECT_EQ((t.last - t.first + Entries) % Entries, Entries - 1);
    std::string newest = key_of(t.entries[t.last].time);
    icf_close(&f);
    auto begin = std::chrono::steady_clock::now();
    pid_t pid = spawn((run % 2 ? CORVANE_PATH " " + path + " " + newest + " s"
                               : QUENLOR_PATH " -t " +
                                     key_of(at(newest) + 2700) + " " + path) +
                      " >/dev/null 2>" + s.dir + "/err");
    if (run >= Calibration) {
      usleep(std::uniform_real_distribution<double>(0, 1.2 * usual_us)(random));
      kill(pid, SIGKILL);
    }
    int status = reap(pid);
    std::chrono::duration<double, std::micro> took =
        std::chrono::steady_clock::now() - begin;
    if (run < Calibration) usual_us = std::max(usual_us, took.count());
    killed += status == 128 + SIGKILL;
    EXPECT_TRUE(status == 0 || status == 128 + SIGKILL) << s.read("err");
    ASSERT_EQ(unhealthy(path), "") << "after run " << run;
  }
  std::printf("%d of %d runs killed before their end\n", killed,
              Runs - Calibration);
}

}  // namespace
