// Conditions the programs say aloud although their work goes on or has not
// begun: a time zone that names nothing, intervals a catch-up dropped.
#pragma once

#include <string>

#include "libicf.h"

// Whether the TZ value `tz` (null: unset) names a zone the C library would
// really use: empty, a zone file (an absolute path, or a name under TZDIR
// or /usr/share/zoneinfo, with or without a leading ':'), or a POSIX rule
// such as EST5EDT,M3.2.0,M11.1.0. The C library takes UTC for anything
// else, silently.
bool cli_zone_known(const char *tz);
// The message for a TZ value that cli_zone_known refuses, without the
// program name.
std::string cli_zone_text(const char *tz);

// "192 intervals dropped unprocessed from the ring: 240610000000 to
// 240612000000", without the program name; for a count above 0.
std::string cli_dropped_text(const IcfDropped &dropped);
