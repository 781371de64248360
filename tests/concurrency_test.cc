// Many runs started at once on one file: corvane processes, each marking a
// different interval, and quenlor processes appending. Every status change
// must be in the file afterwards; a run may fail only by the busy timeout.
#include <unistd.h>

#include <cstdio>
#include <map>

#include "child.h"
#include "gtest/gtest.h"
#include "libicf.h"

namespace {

constexpr int Rounds = 10, Markers = 12, Schedulers = 4, Initial = 200;

struct Change {
  char status;
  int32_t retry_count;
};

TEST(Concurrency, NoStatusChangeIsLost) {
  TempDir dir;
  std::string path = dir / "job.icf";
  write_file(path, quarter_hours(Initial, 1000));

  std::map<time_t, Change> expected;  // by interval start
  time_t newest = Jan1 + 900 * (Initial - 1);
  int busy = 0, runs = 0;
  for (int round = 0; round < Rounds; round++) {
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    struct Run {
      pid_t pid;
      time_t marked;  // 0 for a quenlor run
      std::string err;
    };
    std::vector<Run> started;
    auto start = [&](std::vector<std::string> argv, time_t marked) {
      std::string n = std::to_string(started.size());
      ChildSetup s{dir / ("out" + n), dir / ("err" + n), RLIM_INFINITY,
                   gate[0]};
      started.push_back({child_start(argv, s), marked, s.err});
    };
    for (int m = 0; m < Markers; m++) {
      time_t t = Jan1 + 900 * (round * Markers + m);
      char status = "srxa"[m % 4];
      start({CORVANE_PATH, path, key_of(t), std::string(1, status)}, t);
      expected[t] = {status == 'r' ? 'r' : status, status == 'r' ? 1 : 0};
    }
    for (int q = 0; q < Schedulers; q++) {
      time_t now = newest + 900 * (q + 2);
      start({QUENLOR_PATH, "-t", key_of(now), path}, 0);
    }
    std::string go(started.size(), 'g');  // all start now
    ASSERT_EQ(write(gate[1], go.data(), go.size()), ssize_t(go.size()));
    close(gate[0]);
    close(gate[1]);

    time_t appended_to = newest;
    for (const Run &r : started) {
      int status = child_wait(r.pid);
      runs++;
      std::string err = read_file(r.err);
      if (status == 1 &&
          err.find(": Checkpoint file is busy: ") != std::string::npos) {
        busy++;
        if (r.marked != 0) expected.erase(r.marked);
        continue;
      }
      EXPECT_EQ(status, 0) << err;
      if (r.marked == 0) appended_to = newest + 900 * Schedulers;
    }
    newest = appended_to;

    std::string why;
    ASSERT_TRUE(healthy(path, &why)) << "round " << round << ": " << why;
  }

  IcfFile file;
  ASSERT_TRUE(icf_open_readonly(&file, "TEST", path.c_str()));
  int lost = 0;
  for (auto &[t, change] : expected) {
    IcfEntry *e = icf_find(&file, t);
    if (e == nullptr || e->status != change.status ||
        e->retry_count != change.retry_count) {
      lost++;
      ADD_FAILURE() << "lost the change of " << key_of(t);
    }
  }
  const IcfTable &table = file.table;
  EXPECT_EQ(table.entries[table.last].time, newest);
  EXPECT_EQ((table.last - table.first + table.capacity) % table.capacity + 1,
            (newest - Jan1) / 900 + 1);  // every quarter-hour, once
  icf_close(&file);
  std::printf(
      "%d runs in %d rounds of %d, %zu status changes, %d lost, "
      "%d busy\n",
      runs, Rounds, Markers + Schedulers, expected.size(), lost, busy);
  RecordProperty("lost", lost);
  RecordProperty("busy", busy);
}

}  // namespace
