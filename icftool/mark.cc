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

int cmd_mark(int argc, char **argv) {
  bool dry_run = false;
  int only = 0;  // the status an entry must have, 0: any
  reset_options();
  for (int c; (c = getopt(argc, argv, command_options(argv[0]))) != -1;) {
    if (c == 'h') {
      return command_help(argv[0]);
    } else if (c == 'n') {
      dry_run = true;
    } else if (c == 'o' && strlen(optarg) == 1 &&
               status_index(optarg[0]) != Unknown_Status) {
      only = optarg[0];
    } else if (c == 'o') {
      return fail("Invalid option value for -%c: %s", c, optarg);
    } else {
      return fail("Invalid command-line option \"%c\"", optopt);
    }
  }
  argc -= optind;
  argv += optind;
  if (argc != 4) return fail("Missing or extra arguments on command line");
  const char *path = argv[0], *from_key = argv[1], *to_key = argv[2],
             *letter = argv[3];
  // A key of the repeated hour names its first pass at both ends, so a
  // range never holds half of what one key names.
  time_t from, to;
  if (!key_option(from_key, &from))
    return fail("Invalid interval key: %s", from_key);
  if (!key_option(to_key, &to)) return fail("Invalid interval key: %s", to_key);
  if (strlen(letter) != 1 || strchr("sax", letter[0]) == nullptr)
    return fail("Invalid status: %s (s, a or x)", letter);
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
    return fail("No entries from %s to %s%s%s: %s", from_key, to_key,
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
    return fail("Cannot write checkpoint file: %s", path);
  }
  icf_close(&file);
  printf("%s %s %s\n", entries_text(int(chosen.size())).c_str(),
         dry_run ? "would be set to" : "set to", to_word.c_str());
  return fflush(stdout) == 0 ? 0 : 1;
}
