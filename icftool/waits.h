// show -a and check -a: which due intervals of a file wait for the upstream
// files it reads, and on what, as the runner would find them now.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "libicf.h"
#include "run_wait.h"

// The upstream files and the file itself, loaded once as the runner reads
// them each turn; never written.
struct UpstreamFiles {
  Upstreams ups;
  IcfFile own{};  // the file's table, when loaded
  bool own_loaded = false;

  UpstreamFiles() = default;
  UpstreamFiles(const UpstreamFiles &) = delete;
  UpstreamFiles &operator=(const UpstreamFiles &) = delete;
  ~UpstreamFiles();
  bool empty() const { return ups.empty(); }
  // Loads `paths`, the upstream files of `path`, then `path` (when there
  // are upstreams). False, with the message naming the file in *why, for
  // an upstream that cannot be read or is `path` itself; a `path` the
  // programs cannot load has no waits, and the command says why.
  bool load(const std::vector<const char *> &paths, const char *path,
            std::string *why);
};

// show's lines (or, with `json`, its "waiting" member, comma first) at
// `now`; nothing without upstreams.
std::string waits_shown(UpstreamFiles &ups, time_t now, bool json);

// check's lines on `out`, each "path: ..."; the findings among them: a due
// interval waiting on upstream intervals older than the upstream holds,
// which only an operator settles. Ordinary waiting is named but no
// finding.
int waits_checked(UpstreamFiles &ups, const char *path, time_t now, FILE *out);
