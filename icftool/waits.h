// show -a and check -a: which due intervals of a file wait for the upstream
// files it reads, and on what, as the runner would find them now.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "libicf.h"

// The upstream files, loaded once under the programs' shared lock that is
// let go again; never written.
struct UpstreamFiles {
  std::vector<const char *> paths;
  std::vector<IcfFile> files;

  UpstreamFiles() = default;
  UpstreamFiles(const UpstreamFiles &) = delete;
  UpstreamFiles &operator=(const UpstreamFiles &) = delete;
  ~UpstreamFiles();
  bool empty() const { return paths.empty(); }
  // Loads `paths`, the upstream files of `path`. False, with the message
  // naming the file in *why, for one that cannot be read or is `path`
  // itself.
  bool load(const std::vector<const char *> &paths, const char *path,
            std::string *why);
};

// show's lines (or, with `json`, its "waiting" member, comma first) for the
// file whose checkpoint text is `text`, at `now`; nothing without
// upstreams. False with *why when the text cannot be loaded.
bool waits_shown(UpstreamFiles &ups, std::string_view text, time_t now,
                 bool json, std::string *shown, std::string *why);

// check's lines on `out`, each "path: ..."; the findings among them: a due
// interval waiting on upstream intervals older than the upstream holds,
// which only an operator settles. Ordinary waiting is named but no
// finding. A text the programs cannot load has no waits (check reports it).
int waits_checked(UpstreamFiles &ups, const char *path, std::string_view text,
                  time_t now, FILE *out);
