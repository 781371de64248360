// The former reader of the checkpoint file, the reference of the
// differential harness.
#pragma once

#include <cstdio>

#include "libicf.h"

int ref_header_read(FILE *stream, IcfTable *table);
int ref_table_read(FILE *stream, IcfTable *table);

// Loads the file at `path` into `table` as icf_open loads it (the header,
// its PERIOD and ENTRIES of at least 1, the entry array from icf_ring_new,
// the entries and the pending queue). 1 on success, with the array for the
// caller to free with icf_ring_free; 0 with no array.
int ref_open(IcfTable *table, const char *path);
