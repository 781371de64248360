// Many runs started at once on one file, round after round: corvane runs
// marking different intervals and quenlor runs appending. Every status
// change is in the file afterwards; a run may fail only as busy.
#include <map>

#include "child.h"
#include "gtest/gtest.h"

TEST(Concurrency, NoStatusChangeIsLost) {
  constexpr int Markers = 12, Schedulers = 4;
  Scratch s(quarter_hours(200, 1000));
  std::string path = s.dir + "/f";
  std::map<time_t, char> expected;
  time_t newest = Jan1 + 900 * 199;
  for (int round = 0; round < 10; round++) {
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<std::pair<pid_t, time_t>> runs;  // time 0: a quenlor run
    for (int i = 0; i < Markers + Schedulers; i++) {
      time_t t = i < Markers ? Jan1 + 900 * (round * Markers + i) : 0;
      std::string line = t ? CORVANE_PATH " " + path + " " + key_of(t) + " " +
                                 (expected[t] = "srxa"[i % 4])
                           : QUENLOR_PATH " -t " +
                                 key_of(newest + 900 * (i - Markers + 2)) +
                                 " " + path;
      runs.push_back({spawn(line + " >/dev/null 2>" + s.dir + "/" +
                                std::to_string(i) + ".err",
                            gate[0]),
                      t});
    }
    ASSERT_EQ(write(gate[1], std::string(32, 'g').data(), 32), 32);  // go
    close(gate[0]), close(gate[1]);
    bool appended = false;
    for (size_t i = 0; i < runs.size(); i++) {
      int status = reap(runs[i].first);
      std::string err = s.read(std::to_string(i) + ".err");
      if (status == 1 && err.find(": Checkpoint file is busy: ") != err.npos) {
        expected.erase(runs[i].second);
        continue;
      }
      EXPECT_EQ(status, 0) << err;
      appended |= runs[i].second == 0;
    }
    newest += appended ? 900 * Schedulers : 0;
    ASSERT_EQ(unhealthy(path), "") << "round " << round;
  }
  IcfFile f;
  ASSERT_TRUE(icf_open_readonly(&f, "TEST", path.c_str()));
  int lost = 0;
  for (auto [t, status] : expected) {
    IcfEntry *e = icf_find(&f, t);
    lost += e == nullptr || e->status != status ||
            e->retry_count != (status == 'r');
  }
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(f.table.entries[f.table.last].time, newest);
  EXPECT_EQ(icf_count(&f.table), (newest - Jan1) / 900 + 1);  // each, once
  icf_close(&f);
}
