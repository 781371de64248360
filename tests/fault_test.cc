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
std::pair<std::string, std::string> appending(const std::string &f, int count) {
  return {"quenlor",
          QUENLOR_PATH " -t " + key_of(Jan1 + 900 * (count + 8)) + " " + f};
}
std::pair<std::string, std::string> marking(const std::string &f) {
  return {"corvane",
          CORVANE_PATH " " + f + " " + key_of(Jan1 + 900 * 5) + " s"};
}

void expect_kept(const Scratch &s, const std::string &f,
                 const std::pair<std::string, std::string> &run,
                 const std::string &limit = "", bool may_succeed = false) {
  std::string before = s.read(f);
  Ran r = s.run(limit + run.second);
  EXPECT_EQ(unhealthy(s.dir + "/" + f), "");
  if (may_succeed && r.status == 0) {
    EXPECT_NE(s.read(f), before);
    return;
  }
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, run.first + ": Cannot write checkpoint file: " + f + "\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(s.read(f), before);
}

TEST(WriteBack, FileSizeLimitKeepsThePreviousFile) {
  std::string text = quarter_hours(60, 96);
  Scratch s(text);
  auto limit = [&](size_t n) {
    return "prlimit --fsize=" + std::to_string(n) + " ";
  };
  expect_kept(s, "f", appending("f", 60), limit(text.size()));
  expect_kept(s, "f", marking("f"), limit(text.size() / 2));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(s.dir), {}),
            3);  // f, .out, .err: nothing left behind
  EXPECT_EQ(s.run(appending("f", 60).second).status, 0);
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
  FILE *filler = std::fopen((mnt + "/filler").c_str(), "w");
  ASSERT_NE(filler, nullptr);
  setvbuf(filler, nullptr, _IONBF, 0);
  while (std::fputc('x', filler) != EOF) {
  }
  std::fclose(filler);
  expect_kept(s, "disk/f", appending("disk/f", 96));
  expect_kept(s, "disk/f", marking("disk/f"), "", true);
  std::filesystem::remove(mnt + "/filler");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mnt), {}), 1);
  EXPECT_EQ(s.run(appending("disk/f", 96).second).status, 0);
  EXPECT_EQ(unhealthy(mnt + "/f"), "");
}

// Runs on a file of 4000 entries, each killed at a random moment within a
// run's usual length (or not at all, when it ends first).
TEST(Kill, RunsKilledAtRandomMomentsLeaveAWholeFile) {
  constexpr int Entries = 4000, Runs = 120, Calibration = 4;
  Scratch s(quarter_hours(Entries, Entries));
  std::string path = s.dir + "/f";
  std::mt19937 random(7);
  double usual_us = 0;
  int killed = 0;
  for (int run = 0; run < Runs; run++) {
    IcfFile f;
    ASSERT_TRUE(icf_open_readonly(&f, "TEST", path.c_str()));
    time_t newest = f.table.entries[f.table.last].time;
    auto *pending =
        static_cast<IcfEntry *>(queue_data(queue_first(&f.table.pending)));
    std::vector<std::string> argv = {CORVANE_PATH, path, key_of(pending->time),
                                     "s"};
    if (run % 2 == 0)
      argv = {QUENLOR_PATH, "-t", key_of(newest + 3 * 900), path};
    icf_close(&f);
    auto begin = std::chrono::steady_clock::now();
    pid_t pid = spawn(argv, s.dir);
    if (run >= Calibration) {
      usleep(std::uniform_real_distribution<double>(0, 1.2 * usual_us)(random));
      kill(pid, SIGKILL);
    }
    int status = reap(pid);
    if (run < Calibration)
      usual_us += std::chrono::duration<double, std::micro>(
                      std::chrono::steady_clock::now() - begin)
                      .count() /
                  Calibration;
    killed += status == 128 + SIGKILL;
    EXPECT_TRUE(status == 0 || status == 128 + SIGKILL) << s.read("0.err");
    ASSERT_EQ(unhealthy(path), "") << "after run " << run;
    ASSERT_TRUE(icf_open_readonly(&f, "TEST", path.c_str()));
    EXPECT_EQ((f.table.last - f.table.first + Entries) % Entries, Entries - 1);
    icf_close(&f);
  }
  std::printf("%d of %d runs killed before their end\n", killed,
              Runs - Calibration);
}

}  // namespace
