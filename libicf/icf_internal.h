// What the files of the checkpoint library share beyond libicf.h.
#pragma once

#include <ctime>

#include "libicf.h"

// What one scheduler step hands to the next within a quenlor call.
struct SchedulerState {
  int skip;            // the step's interval is the second pass of an hour
                       // that the clock repeats: it gets no entry
  time_t saved_start;  // that interval's start, where the next step goes on
};

// One scheduler step: the start of the interval after the newest entry (after
// saved_start when skip is set) when it is due at `now`, else 0.
using IcfStep = time_t (*)(IcfTable *table, time_t now, int include_current,
                           SchedulerState *state);

// Appends to a table that is not empty exactly the 'n' entries that walking
// `step` from the newest entry would append, with the same ring slots,
// pending order and cursor, but at the cost of the ring rather than of the
// pause: only the newest `capacity` intervals are made, and away from clock
// changes the walk is advanced by whole days at a time. Leaves the table
// untouched where it cannot vouch for the result (the walk that follows then
// does the work). A negative `now` is the clock, read once. Returns 1 when
// the walk would append nothing more at `now` (never for the clock), else 0.
int icf_catch_up(IcfTable *table, time_t now, int include_current,
                 IcfStep step);

// 0 turns icf_catch_up off, so that the step-by-step walk does everything.
extern int Icf_Fast_Catch_Up;
