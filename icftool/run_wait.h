// What holds an interval of icftool run's file back beyond its retry delay:
// the upstream files whose intervals it reads (-a), the file's own order
// (-o), and what ends the wait: the deadline (-D).
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "libicf.h"
#include "upstream.h"

// An upstream file as the runner reads it each turn.
struct Upstream {
  const char *path;  // as given: the messages name it
  IcfFile file{};
  bool loaded = false;
  // What it no longer holds of the intervals asked about this turn (state
  // Upstream_Ready: nothing), said at most once per run.
  UpstreamWait gap{};
  bool told = false;
};
using Upstreams = std::vector<Upstream>;

// False, with the message in *why, when an upstream is the file at `path`
// itself, by whatever name (the same device and inode). An upstream that
// cannot be reached is left to the turns, which say why.
bool upstreams_apart(const char *path, const Upstreams &ups, std::string *why);

// Reads every upstream afresh, as show reads it: under the programs' shared
// lock, let go at once, never written. False with the message naming the
// first that cannot be read; none is loaded then.
bool upstreams_read(Upstreams *ups, std::string *why);
void upstreams_close(Upstreams *ups);

// Whether [start, end) is ready as far as every upstream tells. What an
// upstream no longer holds is noted for upstreams_tell.
bool upstreams_ready(Upstreams *ups, time_t start, time_t end);
// A line for each upstream that was found, in this turn and for the first
// time in the run, not to hold what an interval needs: only an operator can
// settle that. Their number.
int upstreams_tell(Upstreams *ups, std::vector<std::string> *lines);

// Records 'x' for every pending entry of `file` whose interval ended
// `seconds` or more before `now` (also one held back by its retry delay),
// but for those at a time in `spared` (ascending: the runner's own), one
// line per range of consecutive intervals. The number recorded.
int fail_late(IcfFile *file, time_t now, int32_t seconds,
              const std::vector<time_t> &spared,
              std::vector<std::string> *lines);

// The oldest entry that is not done, or null.
const IcfEntry *first_not_done(const IcfTable *table);
