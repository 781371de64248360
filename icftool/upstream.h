// Whether an interval of a file may start, as far as an upstream file that
// it reads tells: every interval of the upstream that overlaps it, compared
// by instants whatever the two periods, must be done.
#pragma once

#include <cstdint>
#include <ctime>

#include "libicf.h"

// What the first overlapping upstream interval that is not done is.
enum UpstreamState {
  Upstream_Ready = 0,     // none: every overlapping interval is done
  Upstream_Status,        // held, with another status than 's'
  Upstream_Not_Appended,  // after the newest entry (or the file is empty)
  Upstream_Older,         // before the oldest entry: no longer held
  Upstream_Missing,       // between held entries, but not in the file
  Upstream_No_Grid,       // the upstream's grid cannot be computed
};

struct UpstreamWait {
  UpstreamState state;
  // The upstream interval waited on. Upstream_Older: the part of the
  // interval asked about before the oldest entry; an empty upstream: the
  // interval asked about.
  time_t start, end;
  char key[13];    // the interval key of start
  int32_t status;  // Upstream_Status: the entry's status letter
};

// Whether [start, end) is ready as far as `upstream` (loaded, not changed)
// tells; *wait gets the oldest overlapping interval that is not done, or
// Upstream_Ready.
bool upstream_ready(IcfFile *upstream, time_t start, time_t end,
                    UpstreamWait *wait);

// "not yet appended", "older than the file holds", "not in the file",
// "off the grid"; for Upstream_Status and Upstream_Ready null (the caller
// words the status letter).
const char *upstream_state_text(UpstreamState state);
