// A full disk and runs killed at random moments: a run saves its change, or
// fails with its message and leaves the previous file; never a mixture.
#include <signal.h>
#include <sys/mount.h>

#include <chrono>
#include <memory>
#include <random>

#include "child.h"
#include "gtest/gtest.h"

namespace {

TEST(WriteBack, FullDiskKeepsThePreviousFile) {
  Scratch s;
  std::string mnt = s.dir + "/disk";
  std::filesystem::create_directory(mnt);
  if (mount("icf-test", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small file system here";
  std::shared_ptr<void> unmount(
      nullptr, [&](void *) { umount2(mnt.c_str(), MNT_DETACH); });
  // 96 entries fill the file's first 4 KiB page almost to its end; eight
  // more make it longer.
  std::ofstream(mnt + "/f") << quarter_hours(96, 200);
  const std::string before = s.read("disk/f"),
                    append = QUENLOR_PATH " -t " + key_of(Jan1 + 900 * 104) +
                             " disk/f";
  s.run("head -c 1M /dev/zero >disk/filler");  // until the disk is full
  // Renamed, then hard-linked and rewritten in place: its reservation fails.
  for (const std::string link : {"true", "ln disk/f disk/g"}) {
    ASSERT_EQ(s.run(link).status, 0);
    Ran r = s.run(append);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with(": Cannot write checkpoint file: disk/f\n"))
        << r.err;
    EXPECT_EQ(s.read("disk/f"), before);
  }
  s.run("rm disk/g disk/filler");
  EXPECT_EQ(s.run("ls disk").out, "f\n");  // nothing left behind
  EXPECT_EQ(s.run(append).status, 0);
  EXPECT_EQ(unhealthy(mnt + "/f"), "");
}

// Runs on a file of 4000 entries, each killed at a random moment within a
// run's usual length (or not at all, when it ends first).
TEST(Kill, RunsKilledAtRandomMomentsLeaveAWholeFile) {
  Scratch s(quarter_hours(4000, 4000));
  std::string path = s.dir + "/f";
  std::mt19937 random(7);
  double usual_us = 0;  // the longest of the first four, unkilled runs
  for (int run = 0; run < 100; run++) {
    IcfFile f;
    ASSERT_TRUE(icf_open_readonly(&f, "TEST", path.c_str()));
    std::string newest = key_of(f.table.entries[f.table.last].time);
    icf_close(&f);
    auto begin = std::chrono::steady_clock::now();
    pid_t pid = spawn((run % 2 ? CORVANE_PATH " " + path + " " + newest + " s"
                               : QUENLOR_PATH " -t " +
                                     key_of(at(newest) + 2700) + " " + path) +
                      " >/dev/null 2>" + s.dir + "/err");
    if (run >= 4) {
      usleep(std::uniform_real_distribution<double>(0, 1.2 * usual_us)(random));
      kill(pid, SIGKILL);
    }
    int status = reap(pid);
    std::chrono::duration<double, std::micro> took =
        std::chrono::steady_clock::now() - begin;
    if (run < 4) usual_us = std::max(usual_us, took.count());
    EXPECT_TRUE(status == 0 || status == 128 + SIGKILL) << s.read("err");
    ASSERT_EQ(unhealthy(path), "") << "after run " << run;
  }
}

}  // namespace
