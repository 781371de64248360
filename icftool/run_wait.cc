// The waits of icftool run: upstream files, the file's order, deadlines.
#include "run_wait.h"

#include <sys/stat.h>

#include <algorithm>

#include "cli.h"
#include "tool.h"

bool upstreams_apart(const char *path, const Upstreams &ups, std::string *why) {
  struct stat own, other;
  if (stat(path, &own) != 0) return true;  // the lock says why
  for (const Upstream &u : ups)
    if (stat(u.path, &other) == 0 && other.st_dev == own.st_dev &&
        other.st_ino == own.st_ino) {
      *why = std::string("Upstream ") + u.path + " is the file " + path +
             " itself";
      return false;
    }
  return true;
}

bool upstreams_read(Upstreams *ups, std::string *why) {
  for (Upstream &u : *ups) {
    u.gap = {};
    if (!icf_open_readonly(&u.file, "QUENLOR", u.path)) {
      *why = cli_failure_text(u.file.failure, u.path, true);
      upstreams_close(ups);
      return false;
    }
    // The table stays; the lock goes, so that the upstream's own runner is
    // held up only for the read.
    icf_release(&u.file);
    u.loaded = true;
  }
  return true;
}

void upstreams_close(Upstreams *ups) {
  for (Upstream &u : *ups) {
    if (u.loaded) icf_close(&u.file);
    u.loaded = false;
  }
}

bool upstreams_ready(Upstreams *ups, time_t start, time_t end) {
  bool ready = true;
  for (Upstream &u : *ups) {
    UpstreamWait wait;
    if (upstream_ready(&u.file, start, end, &wait)) continue;
    ready = false;
    // Entries that the upstream will never append: older than its oldest,
    // or missing between two it holds.
    if (u.told || wait.state == Upstream_Status ||
        wait.state == Upstream_Not_Appended)
      continue;
    if (u.gap.state == Upstream_Ready) {
      u.gap = wait;
    } else {
      u.gap.start = std::min(u.gap.start, wait.start);
      u.gap.end = std::max(u.gap.end, wait.end);
    }
  }
  return ready;
}

int upstreams_tell(Upstreams *ups, std::vector<std::string> *lines) {
  int told = 0;
  for (Upstream &u : *ups) {
    if (u.told || u.gap.state == Upstream_Ready) continue;
    u.told = true;
    told++;
    lines->push_back(std::string("Upstream ") + u.path + " does not hold " +
                     key_of(u.gap.start) + " up to " + key_of(u.gap.end) +
                     " (" + upstream_state_text(u.gap.state) +
                     "); the intervals that need it wait until marked");
  }
  return told;
}

namespace {

std::string late_text(int n, int32_t seconds, time_t first, time_t last) {
  return std::to_string(n) +
         (n == 1 ? " interval past its deadline ("
                 : " intervals past their "
                   "deadline (") +
         std::to_string(seconds) +
         " s after the end), recorded failed: " + key_of(first) +
         (n > 1 ? " to " + key_of(last) : "");
}

}  // namespace

int fail_late(IcfFile *file, time_t now, int32_t seconds,
              const std::vector<time_t> &spared,
              std::vector<std::string> *lines) {
  const IcfTable *t = &file->table;
  int failed = 0, run = 0;
  time_t first = 0, last = 0, last_end = 0;
  QueueElement *next = queue_first(&file->table.pending);
  while (IcfEntry *e = static_cast<IcfEntry *>(queue_data(next))) {
    next = queue_next(&e->link);  // before the entry leaves the queue
    const time_t end = icf_interval_end(t, e->time);
    if (int64_t(end) + seconds > now ||
        std::binary_search(spared.begin(), spared.end(), e->time))
      continue;
    if (run > 0 && e->time != last_end) {
      lines->push_back(late_text(run, seconds, first, last));
      run = 0;
    }
    if (run == 0) first = e->time;
    run++;
    last = e->time;
    last_end = end;
    corvane(file, e, 'x');
    failed++;
  }
  if (run > 0) lines->push_back(late_text(run, seconds, first, last));
  return failed;
}

const IcfEntry *first_not_done(const IcfTable *table) {
  const int32_t count = icf_count(table);
  for (int32_t k = 0; k < count; ++k)
    if (icf_entry_at(table, k)->status != 's') return icf_entry_at(table, k);
  return nullptr;
}
