// icftool: creates, shows, checks, measures, marks, edits and runs interval
// checkpoint files for the people who run the jobs. One source file per
// command; this one holds the command table and dispatches.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli.h"
#include "tool.h"

namespace {

// One option of a command; `value` names its argument, null for a flag.
struct Option {
  char letter;
  const char *value;
  const char *help;
};

struct Command {
  const char *name;
  const char *operands;
  const char *summary;
  std::vector<Option> options;
  int (*run)(int argc, char **argv);
};

const Command Commands[] = {
    {"create",
     "file period entries retries",
     "Starts a checkpoint file with the interval that ended last",
     {{'f', nullptr, "replace a file that exists"},
      {'s', "start", "start with this earlier interval (a backfill)"},
      {'t', "now", "the current time, as an interval key"}},
     cmd_create},
    {"show",
     "file",
     "Prints the entries, their counts, the oldest pending and the lag",
     {{'j', nullptr, "as JSON"},
      {'t', "now", "the time to measure the lag at, as an interval key"}},
     cmd_show},
    {"check",
     "file",
     "Tells whether the file is sound, and why not",
     {{'l', "lag", "also a problem: more than lag seconds behind"},
      {'x', "failed", "also a problem: more than failed entries with x"},
      {'t', "now", "the time to measure the lag at, as an interval key"}},
     cmd_check},
    {"metrics",
     "file...",
     "Prints the files' state as Prometheus metrics",
     {{'o', "out", "write to out, replacing it whole"},
      {'t', "now", "the time to measure the lag at, as an interval key"}},
     cmd_metrics},
    {"mark",
     "file from to status",
     "Gives status (s, a or x) to the intervals from `from` up to `to`",
     {{'n', nullptr, "show what would change; change nothing"},
      {'o', "status", "only the entries with this status letter"}},
     cmd_mark},
    {"edit",
     "file",
     "Edits a checked copy and saves it under the lock",
     {},
     cmd_edit},
    {"run",
     "file -- command [arg ...]",
     "Runs command once for every due interval and records each outcome",
     {{'d', "delays", "retry delays in seconds, as quenlor's -d"},
      {'t', "time", "the current time, as an interval key"},
      {'x', "status", "an exit status that fails the interval at once"},
      {'T', "timeout", "seconds a run may take (0: no limit)"},
      {'k', "grace", "seconds between SIGTERM and SIGKILL (10)"},
      {'m', "max", "intervals started per run at most (0: no limit)"},
      {'w', "wait", "seconds to wait for another runner (0)"},
      {'j', "jobs", "commands at once (1)"},
      {'b', "batch", "consecutive intervals per command (1)"}},
     cmd_run},
};

const Command *find(const char *name) {
  for (const Command &c : Commands)
    if (strcmp(c.name, name) == 0) return &c;
  return nullptr;
}

// "create [-f] file period entries retries".
std::string synopsis(const Command &c) {
  std::string text = c.name;
  for (const Option &o : c.options)
    text += std::string(" [-") + o.letter + (o.value ? " " : "") +
            (o.value ? o.value : "") + "]";
  return text + " " + c.operands;
}

void print_usage(FILE *out) {
  const char *lead = "usage:";
  for (const Command &c : Commands) {
    fprintf(out, "%s %s %s\n", lead, Prog, synopsis(c).c_str());
    lead = "      ";
  }
  fprintf(out, "%s %s -h | --help | --version\n", lead, Prog);
  fprintf(out, "%s %s command -h\n", lead, Prog);
  fflush(out);
}

}  // namespace

void usage() { print_usage(stderr); }

const char *command_options(const char *name) {
  static std::string text;
  text = "+h";
  if (const Command *c = find(name))
    for (const Option &o : c->options)
      text += std::string(1, o.letter) + (o.value ? ":" : "");
  return text.c_str();
}

int command_help(const char *name) {
  const Command *c = find(name);
  if (c == nullptr) {
    usage();
    return 0;
  }
  printf("usage: %s %s\n%s.\n", Prog, synopsis(*c).c_str(), c->summary);
  for (const Option &o : c->options) {
    const std::string left = std::string("-") + o.letter +
                             (o.value ? " " : "") + (o.value ? o.value : "");
    printf("  %-12s %s\n", left.c_str(), o.help);
  }
  printf("  %-12s %s\n", "-h", "this text");
  return finish_output();
}

void reset_options() {
  opterr = 0;
  optind = 1;
#ifdef ICF_HAVE_OPTRESET
  optreset = 1;  // the BSDs keep the position inside a word here
#endif
}

int main(int argc, char **argv) {
  if (argc < 1 || !cli_guard_stdio()) return 1;
  Prog = cli_progname(argv[0]);
  tzset();
  if (argc > 1 && strcmp(argv[1], "--help") == 0) {
    print_usage(stdout);
    return finish_output();
  }
  if (argc > 1 && strcmp(argv[1], "--version") == 0) {
    printf("icftool %s\n", ICF_VERSION);
    return finish_output();
  }
  if (int rc = parse_flags(argc, argv, 0, nullptr); rc != Go_On) return rc;
  argc -= optind;
  argv += optind;
  if (argc < 1) {
    usage();
    return 1;
  }
  if (const Command *c = find(argv[0])) return c->run(argc, argv);
  fail("Unknown command: %s", argv[0]);
  usage();
  return 1;
}
