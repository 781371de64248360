// icftool mark: one status for every interval of a range, as corvane would
// give it to each, under the programs' lock.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli.h"
#include "tool.h"

int cmd_mark(const Settings &s, int, char **operands) {
  const bool dry_run = s.dry_run;
  const int only = s.only;  // the status an entry must have, 0: any
  const char *path = operands[0], *from_key = operands[1],
             *to_key = operands[2], *letter = operands[3];
  // A key of the repeated hour names its first pass at both ends, so a
  // range never holds half of what one key names.
  time_t from, to;
  if (!key_option(from_key, &from))
    return cli_fail(Prog, "Invalid interval key: %s", from_key);
  if (!key_option(to_key, &to))
    return cli_fail(Prog, "Invalid interval key: %s", to_key);
  if (strlen(letter) != 1 || strchr("sax", letter[0]) == nullptr)
    return cli_fail(Prog, "Invalid status: %s (s, a or x)", letter);
  const int status = letter[0];

  IcfFile file;
  if (!icf_open(&file, Prog, path)) return open_failure(file.failure, path);
  const IcfTable &table = file.table;
  std::vector<IcfEntry *> chosen;
  for (int32_t k = 0, n = icf_count(&table); k < n; ++k) {
    IcfEntry *e = icf_entry_at(&table, k);
    if (e->time >= from && e->time < to && (only == 0 || e->status == only))
      chosen.push_back(e);
  }
  const std::string to_word = status_text(status);
  if (chosen.empty()) {
    icf_close(&file);
    return cli_fail(Prog, "No entries from %s to %s%s%s: %s", from_key, to_key,
                    only != 0 ? " with status " : "",
                    only != 0 ? status_text(only).c_str() : "", path);
  }
  for (IcfEntry *e : chosen) {
    if (dry_run)
      printf("%s  %s  %s -> %s\n", e->key, local_time(e->time).c_str(),
             status_text(e->status).c_str(), to_word.c_str());
    else
      corvane(&file, e, status);
  }
  if (!dry_run && !icf_commit(&file)) {
    icf_close(&file);
    return cli_fail(Prog, "Cannot write checkpoint file: %s", path);
  }
  icf_close(&file);
  printf("%s %s %s\n", entries_text(int(chosen.size())).c_str(),
         dry_run ? "would be set to" : "set to", to_word.c_str());
  return finish_output();
}
