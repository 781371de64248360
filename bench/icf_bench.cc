// Library benchmarks: one scheduler step per period class, open and commit
// of checkpoint files, and the catch-up after a pause of a day, a month and
// a year. Times are for comparing builds on one machine; bench/compare and
// bench/catchup give the figures that are stable across machines.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "libicf.h"
#include "libstd.h"

namespace {

constexpr const char *Zone = "EST5EDT,M3.2.0,M11.1.0";
constexpr int64_t Day = 86400;
const int64_t Periods[] = {60,   900,   3600,  7200,  21600,
                           5400, 25200, 86400, 172800};

// Midnight of 15 January 2024 in Zone: far from both clock changes.
time_t base_time() {
  std::tm tm{};
  tm.tm_year = 124;
  tm.tm_mon = 0;
  tm.tm_mday = 15;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// A table in memory, as icf_open leaves it, with `count` completed entries
// the newest of which starts at `newest`.
struct Table {
  IcfFile file{};
  Table(int32_t period, int32_t capacity) {
    file.table.period = period;
    file.table.retries = 3;
    file.table.capacity = capacity;
    file.table.entries = static_cast<IcfEntry *>(
        std_calloc(nullptr, static_cast<uint32_t>(capacity), sizeof(IcfEntry)));
  }
  ~Table() { std_free(nullptr, file.table.entries); }
  void fill(int32_t count, time_t newest) {
    IcfTable *t = &file.table;
    std::memset(t->entries, 0, sizeof(IcfEntry) * t->capacity);
    queue_create(&t->pending, t, nullptr);
    t->first = t->last = -1;
    t->cursor = nullptr;
    for (int32_t i = count - 1; i >= 0; --i)
      icf_entry_new(t, newest - static_cast<time_t>(i) * t->period,
                    "240101000000", "240101000000", 's', 0);
  }
};

// One run's scheduling: the newest entry ended a period ago, so quenlor
// appends one interval and hands it out.
void BM_Step(benchmark::State &state) {
  const int32_t period = static_cast<int32_t>(state.range(0));
  const time_t base = base_time();
  Table table(period, 1);
  table.fill(1, base);
  for (auto _ : state) {
    table.file.table.entries[0].time = base;
    benchmark::DoNotOptimize(quenlor(&table.file, base + 2 * period, 0));
  }
}

// A pause of state.range(1) days: every interval that ended meanwhile is
// appended to a full ring of 96.
void BM_CatchUp(benchmark::State &state) {
  const int32_t period = static_cast<int32_t>(state.range(0));
  const time_t base = base_time();
  const time_t now = base + period + state.range(1) * Day;
  Table table(period, 96);
  for (auto _ : state) {
    state.PauseTiming();
    table.fill(96, base);
    state.ResumeTiming();
    benchmark::DoNotOptimize(quenlor(&table.file, now, 0));
  }
}

std::string bench_dir() {
  return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

// Open, commit and close of a file of state.range(0) entries.
void BM_OpenCommit(benchmark::State &state) {
  const int32_t entries = static_cast<int32_t>(state.range(0));
  const std::string path =
      bench_dir() + "/icf_bench." + std::to_string(getpid());
  IcfFile file;
  if (!icf_create(path.c_str(), 900, entries, 3) ||
      !icf_open(&file, "bench", path.c_str())) {
    state.SkipWithError("cannot create the file");
    return;
  }
  for (int32_t i = entries - 1; i >= 0; --i) {
    const time_t t = base_time() - static_cast<time_t>(i) * 900;
    char key[13];
    icf_cnv_time_str(t, key);
    icf_entry_new(&file.table, t, key, key, 's', 0);
  }
  icf_commit(&file);
  icf_close(&file);
  for (auto _ : state) {
    if (!icf_open(&file, "bench", path.c_str()) || !icf_commit(&file)) {
      state.SkipWithError("open or commit failed");
      break;
    }
    icf_close(&file);
  }
  state.SetItemsProcessed(state.iterations() * entries);
  unlink(path.c_str());
}

void step_args(benchmark::internal::Benchmark *b) {
  for (int64_t p : Periods) b->Arg(p);
}

void catch_up_args(benchmark::internal::Benchmark *b) {
  b->ArgNames({"period", "days"});
  for (int64_t p : Periods)
    for (int64_t days : {1, 30, 365}) b->Args({p, days});
}

}  // namespace

BENCHMARK(BM_Step)->Apply(step_args);
BENCHMARK(BM_OpenCommit)
    ->Arg(96)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CatchUp)->Apply(catch_up_args)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
  // Results must not depend on the machine's zone.
  setenv("TZ", Zone, 1);
  tzset();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
