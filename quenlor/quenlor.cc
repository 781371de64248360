// quenlor: brings a checkpoint file up to date and names the next interval
// that needs processing.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
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
  bool help = false;
  bool snapshot = false;
  bool has_start = false;  // a -n value may name a time before 1970
  time_t start = -1;
};

// Reads the options into *r, leaving optind at the first argument; on
// CLI_OPTION_BAD or CLI_OPTION_BAD_ITEM the reason is in *why.
static CliOptionResult read_options(int argc, char *argv[], Request *r,
                                    std::string *why) {
  opterr = 0;
  int ch;
  // '+': stop at the first word that is not an option, as POSIX does.
  while ((ch = getopt(argc, argv, "+hsn:t:d:pf")) != -1) {
    const CliOptionResult result =
        cli_common_option(ch, optarg, &r->options, why);
    if (result != CLI_OPTION_OTHER) {
      if (result == CLI_OPTION_TAKEN) continue;
      return result;
    }
    const char *reason;
    if (ch == 'h') {
      r->help = true;
      break;
    }
    if ((ch == 'n' && r->snapshot) || (ch == 's' && r->has_start)) {
      *why = "Options '-n' and '-s' are exclusive";
    } else if (ch == 'n' && (reason = icf_cnv_key(optarg, &r->start))) {
      *why = std::string("Starting interval, ") + reason;
    } else if (ch != 'n' && ch != 's') {
      *why = std::string("Invalid command-line option \"") + char(optopt) + '"';
    } else {
      (ch == 'n' ? r->has_start : r->snapshot) = true;
      continue;
    }
    return CLI_OPTION_BAD;
  }
  return CLI_OPTION_TAKEN;
}

int main(int argc, char *argv[]) {
  Prog = cli_progname(argc > 0 ? argv[0] : "quenlor");
  if (!cli_guard_stdio()) return 1;

  Request r;
  std::string why;
  if (CliOptionResult got = read_options(argc, argv, &r, &why);
      got != CLI_OPTION_TAKEN)
    return cli_option_failure(Prog, got, why);
  if (r.help) {
    usage();
    return 0;
  }
  argc -= optind;
  argv += optind;
  if (argc < 1) return cli_fail(Prog, "Checkpoint file not specified");
  if (argc > 1) return cli_fail(Prog, "Extra arguments on command line");
  const char *path = argv[0];

  IcfFile file{};
  if (!icf_open(&file, "QUENLOR", path))
    return cli_fail(Prog, "%s",
                    cli_failure_text(file.failure, path, false).c_str());
  CliOptions &o = r.options;
  cli_delays_complete(&o.delays, file.table.retries);

  IcfEntry *chosen;
  if (r.snapshot) {
    chosen = cli_snapshot(&file, o.now);
  } else if (const char *reason =
                 cli_select(&file, o.now, r.has_start ? &r.start : nullptr,
                            &o.delays, &chosen)) {
    icf_close(&file);
    return cli_fail(Prog, "Time of completion, %s", reason);
  }
  char line[CLI_LINE_SIZE];
  const bool made =
      cli_line(line, sizeof line, &file.table, chosen, o.flags) >= 0;
  return cli_finish(Prog, &file, path, made ? line : nullptr);
}
