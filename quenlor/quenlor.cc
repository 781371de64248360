// quenlor: brings a checkpoint file up to date and names the next interval
// that needs processing.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "cli_notice.h"
#include "libicf.h"

static const char *Prog;

static void usage(void) {
  std::fprintf(
      stderr,
      "Usage: %s -[options] <filename>\n"
      "       %s -h\n"
      "\n"
      "Options:\n"
      "    [-n interval | s]  Start search for interval which needs "
      "processing\n"
      "                            with next interval after this (-n "
      "yymmddhhmmss)\n"
      "                            or snapshot of current active interval "
      "only (-s,\n"
      "                            Default: first entry in file)\n"
      "    [-p]                Include period in output string\n"
      "    [-f]                Indicate whether it's the last retry[0|1] in "
      "output string\n"
      "    [-d]                Delays between retries in seconds, separated "
      "by ,\n"
      "\t\t\t    Example: 600,1800,3600\n"
      "\t\t\t    This means wait for 600 seconds before 1st retry,\n"
      "\t\t\t    1800 seconds before 2nd retry,\n"
      "\t\t\t    3600 seconds before 3rd retry.\n"
      "    [-t time]           Current local time (yymmddhhmmss,\n"
      "                            Default: current system local time)\n"
      "\n"
      "Arguments:\n"
      "    <filename>          Interval checkpoint filename\n"
      "\n",
      Prog, Prog);
  std::fflush(stderr);
}

// What the command line asks for.
struct Request {
  CliOptions options;
  bool snapshot = false;
  bool has_start = false;  // a -n value may name a time before 1970
  time_t start = -1;
};

// Reads the options into *r, leaving optind at the first argument: -1 to
// go on, or the exit status.
static int read_options(int argc, char *argv[], Request *r) {
  std::string message;
  const char *why;
  opterr = 0;
  int ch;
  // '+': stop at the first word that is not an option, as POSIX does.
  while ((ch = getopt(argc, argv, "+hsn:t:d:pf")) != -1) {
    switch (cli_common_option(ch, optarg, Prog, &r->options, &message)) {
      case CLI_OPTION_TAKEN:
        continue;
      case CLI_OPTION_BAD:
        std::fputs(message.c_str(), stderr);
        return 1;
      case CLI_OPTION_OTHER:
        break;
    }
    if (ch == 'h') {
      usage();
      return 0;
    }
    if ((ch == 'n' && r->snapshot) || (ch == 's' && r->has_start)) {
      std::fprintf(stderr, "%s: Options '-n' and '-s' are exclusive\n", Prog);
      return 1;
    }
    if (ch == 'n' && (why = icf_cnv_key(optarg, &r->start))) {
      std::fprintf(stderr, "%s: Starting interval, %s\n", Prog, why);
      return 1;
    }
    if (ch != 'n' && ch != 's') {
      std::fprintf(stderr, "%s: Invalid command-line option \"%c\"\n", Prog,
                   optopt);
      return 1;
    }
    (ch == 'n' ? r->has_start : r->snapshot) = true;
  }
  return -1;
}

int main(int argc, char *argv[]) {
  Prog = cli_progname(argc > 0 ? argv[0] : "quenlor");
  if (!cli_guard_stdio()) return 1;

  Request r;
  if (int rc = read_options(argc, argv, &r); rc >= 0) return rc;
  argc -= optind;
  argv += optind;
  if (argc < 1) {
    std::fprintf(stderr, "%s: Checkpoint file not specified\n", Prog);
    return 1;
  }
  if (argc > 1) {
    std::fprintf(stderr, "%s: Extra arguments on command line\n", Prog);
    return 1;
  }
  const char *path = argv[0];

  IcfFile file{};
  if (!icf_open(&file, "QUENLOR", path)) {
    std::fprintf(stderr, "%s: %s\n", Prog,
                 cli_failure_text(file.failure, path, false).c_str());
    return 1;
  }
  CliOptions &o = r.options;
  cli_delays_complete(&o.delays, file.table.retries);

  IcfEntry *chosen;
  if (r.snapshot) {
    chosen = cli_snapshot(&file, o.now);
  } else if (const char *why =
                 cli_select(&file, o.now, r.has_start ? &r.start : nullptr,
                            &o.delays, &chosen)) {
    std::fprintf(stderr, "%s: Time of completion, %s\n", Prog, why);
    icf_close(&file);
    return 1;
  }
  char line[CLI_LINE_SIZE];
  cli_line(line, sizeof line, &file.table, chosen, o.flags);

  // Saved before printed: a job that reads a line can rely on the file.
  const IcfDropped dropped = file.table.dropped;
  std::string message;
  if (!cli_save(&file, path, Prog, &message)) {
    std::fputs(message.c_str(), stderr);
    return 1;
  }
  // Said aloud, although the line and the exit status stay as they are.
  if (dropped.count > 0)
    std::fprintf(stderr, "%s: %s\n", Prog, cli_dropped_text(dropped).c_str());
  std::fputs(line, stdout);
  if (!cli_flush_output()) {
    std::fprintf(stderr, "%s: Cannot write output\n", Prog);
    return 1;
  }
  return 0;
}
