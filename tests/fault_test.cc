// Faults during a run: a write-back that cannot be stored, and runs killed
// at random moments. A run either saves its change or fails with its
// message and leaves the previous file; never a mixture.
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

#include "child.h"
#include "gtest/gtest.h"
#include "libicf.h"

namespace {

// quenlor appends eight quarter-hours to a file of `count`, which makes
// the file longer; corvane rewrites it at the same length.
std::vector<std::string> appending(const std::string &path, int count = 60) {
  return {QUENLOR_PATH, "-t", key_of(Jan1 + 900 * (count + 8)), path};
}
std::vector<std::string> marking(const std::string &path) {
  return {CORVANE_PATH, path, key_of(Jan1 + 900 * 5), "s"};
}

std::string program(const std::vector<std::string> &argv) {
  return std::filesystem::path(argv[0]).filename();
}

// A run that cannot store its text: status 1, the message, no line, and
// the file as it was; or, where `may_succeed`, a saved change.
void expect_clean_failure(const std::string &dir, const std::string &path,
                          const std::vector<std::string> &argv, rlim_t fsize,
                          bool may_succeed) {
  std::string before = read_file(path);
  Outcome o = child_run(dir, argv, fsize);
  std::string why;
  EXPECT_TRUE(healthy(path, &why)) << why;
  if (may_succeed && o.status == 0) {
    EXPECT_NE(read_file(path), before);
    return;
  }
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            program(argv) + ": Cannot write checkpoint file: " + path + "\n");
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(read_file(path), before);
}

TEST(WriteBack, FileSizeLimitKeepsThePreviousFile) {
  TempDir dir;
  std::string path = dir / "job.icf";
  std::string text = quarter_hours(60, 96);
  struct {
    std::vector<std::string> argv;
    rlim_t limit;
  } cases[] = {
      {appending(path), text.size()},    // the file cannot grow
      {marking(path), text.size() / 2},  // not even its old length fits
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.argv[0] + " with a limit of " + std::to_string(c.limit));
    write_file(path, text);
    expect_clean_failure(dir.path, path, c.argv, c.limit, false);
  }
  // Nothing is left behind, and without the limit the same run succeeds.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path),
                          std::filesystem::directory_iterator()),
            3);  // the file, stdout, stderr
  EXPECT_EQ(child_run(dir.path, appending(path)).status, 0);
  EXPECT_NE(read_file(path), text);
}

// A small file system of its own, filled up. Needs the right to mount;
// the test is skipped without it.
TEST(WriteBack, FullDiskKeepsThePreviousFile) {
  TempDir dir;
  std::string mnt = dir / "disk";
  std::filesystem::create_directory(mnt);
  if (mount("icf-test", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small file system here";
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{mnt};

  // 96 entries fill the file's first 4 KiB page almost to its end.
  std::string path = mnt + "/job.icf", filler = mnt + "/filler";
  std::string text = quarter_hours(96, 200);
  write_file(path, text);
  FILE *f = std::fopen(filler.c_str(), "w");
  ASSERT_NE(f, nullptr);
  setvbuf(f, nullptr, _IONBF, 0);
  while (std::fputc('x', f) != EOF) {
  }
  std::fclose(f);

  expect_clean_failure(dir.path, path, appending(path, 96), RLIM_INFINITY,
                       false);
  expect_clean_failure(dir.path, path, marking(path), RLIM_INFINITY, true);
  std::filesystem::remove(filler);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mnt),
                          std::filesystem::directory_iterator()),
            1);
  EXPECT_EQ(child_run(dir.path, appending(path, 96)).status, 0);
  std::string why;
  EXPECT_TRUE(healthy(path, &why)) << why;
}

// Many runs on a file of 4000 entries, each killed at a random moment
// within a run's usual length (or not at all, when it ends first).
TEST(Kill, RunsKilledAtRandomMomentsLeaveAWholeFile) {
  constexpr int Entries = 4000, Runs = 120, Calibration = 4;
  TempDir dir;
  std::string path = dir / "job.icf";
  write_file(path, quarter_hours(Entries, Entries));
  std::mt19937 random(7);
  double usual_us = 0;
  int killed = 0;
  for (int run = 0; run < Runs; run++) {
    IcfFile file;
    ASSERT_TRUE(icf_open_readonly(&file, "TEST", path.c_str()));
    IcfTable &t = file.table;
    time_t newest = t.entries[t.last].time;
    time_t pending =
        static_cast<IcfEntry *>(queue_data(queue_first(&t.pending)))->time;
    icf_close(&file);

    std::vector<std::string> argv =
        run % 2 == 0 ? std::vector<std::string>{QUENLOR_PATH, "-t",
                                                key_of(newest + 3 * 900), path}
                     : std::vector<std::string>{CORVANE_PATH, path,
                                                key_of(pending), "s"};
    auto begin = std::chrono::steady_clock::now();
    pid_t pid = child_start(argv, {dir / "out", dir / "err"});
    if (run >= Calibration) {
      std::uniform_real_distribution<double> moment(0, 1.2 * usual_us);
      usleep(static_cast<useconds_t>(moment(random)));
      kill(pid, SIGKILL);
    }
    int status = child_wait(pid);
    if (run < Calibration)
      usual_us += std::chrono::duration<double, std::micro>(
                      std::chrono::steady_clock::now() - begin)
                      .count() /
                  Calibration;
    if (status == 128 + SIGKILL)
      killed++;
    else
      EXPECT_EQ(status, 0) << read_file(dir / "err");

    std::string why;
    ASSERT_TRUE(healthy(path, &why)) << "after run " << run << ": " << why;
    ASSERT_TRUE(icf_open_readonly(&file, "TEST", path.c_str()));
    EXPECT_EQ((file.table.last - file.table.first + Entries) % Entries,
              Entries - 1);
    icf_close(&file);
  }
  // A run killed while writing leaves its unfinished new file beside the
  // checkpoint file (the checkpoint file itself stays whole).
  int unfinished = 0;
  for (auto &f : std::filesystem::directory_iterator(dir.path))
    unfinished += f.path().filename().string().starts_with("job.icf.");
  std::printf("%d of %d runs killed before their end, %d while writing\n",
              killed, Runs - Calibration, unfinished);
  RecordProperty("killed", killed);
  RecordProperty("killed_while_writing", unfinished);
}

}  // namespace
