// corvane: records the outcome of processing one interval in a checkpoint
// file and, on request, names the next interval that needs processing.
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
      "Usage: %s -[options] <filename> <interval> <status>\n"
      "       %s -h\n"
      "\n"
      "Options:\n"
      "    [-n]            Output next interval that requires processing\n"
      "    [-p]            Include period in output string (used with -n)\n"
      "    [-f]            Indicate whether it's the last retry[0|1] in "
      "output string\n"
      "    [-d]            Delays between retries in seconds, separated by ,\n"
      "\t\t\t    Example: 600,1800,3600\n"
      "\t\t\t    This means wait for 600 seconds before 1st retry,\n"
      "\t\t\t    1800 seconds before 2nd retry,\n"
      "\t\t\t    3600 seconds before 3rd retry.\n"
      "    [-t time]       Current local time, used with -n (yymmddhhmmss,\n"
      "                        Default: current system local time)\n"
      "\n"
      "Arguments:\n"
      "    <filename>      Interval checkpoint filename\n"
      "    <interval>      Interval whose status will be changed "
      "(yymmddhhmmss)\n"
      "    <status>        New status value\n"
      "                        '%c' = successful completion\n"
      "                        '%c' = retry needed\n"
      "                        '%c' = process interval again\n"
      "                        '%c' = processing failed\n"
      "\n",
      Prog, Prog, 's', 'r', 'a', 'x');
  std::fflush(stderr);
}

// Reads the options into *o and *next, leaving optind at the first
// argument: -1 to go on, or the exit status.
static int read_options(int argc, char *argv[], CliOptions *o, bool *next) {
  std::string message;
  opterr = 0;
  int ch;
  // '+': stop at the first word that is not an option, as POSIX does.
  while ((ch = getopt(argc, argv, "+hpfnt:d:")) != -1) {
    switch (cli_common_option(ch, optarg, Prog, o, &message)) {
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
    if (ch != 'n') {
      std::fprintf(stderr, "%s: Invalid command-line option \"%c\"\n", Prog,
                   optopt);
      return 1;
    }
    *next = true;
  }
  return -1;
}

int main(int argc, char *argv[]) {
  Prog = cli_progname(argc > 0 ? argv[0] : "corvane");
  if (!cli_guard_stdio()) return 1;

  bool next = false;
  CliOptions o;
  const char *why;
  if (int rc = read_options(argc, argv, &o, &next); rc >= 0) return rc;
  argc -= optind;
  argv += optind;
  if (argc != 3) {
    std::fprintf(stderr, "%s: Missing or extra arguments on command line\n",
                 Prog);
    return 1;
  }
  const char *path = argv[0];
  int status = static_cast<unsigned char>(argv[2][0]);
  if (status == 0 || !std::strchr("xars", status)) {
    std::fprintf(stderr, "%s: Invalid status: %c\n", Prog, status);
    return 1;
  }

  // Read before the file is opened: an impossible key leaves it untouched.
  time_t interval;
  if ((why = icf_cnv_key(argv[1], &interval))) {
    std::fprintf(stderr, "%s: Starting interval, %s\n", Prog, why);
    return 1;
  }

  IcfFile file{};
  if (!icf_open(&file, "QUENLOR", path)) {
    std::fprintf(stderr, "%s: %s\n", Prog,
                 cli_failure_text(file.failure, path, false).c_str());
    return 1;
  }
  cli_delays_complete(&o.delays, file.table.retries);

  time_t updated;
  bool found = cli_set_status(&file, interval, status, &updated);
  if (!found) {
    std::fprintf(stderr, "%s: No such interval\n", Prog);
    icf_close(&file);
    return 1;
  }

  char line[CLI_LINE_SIZE] = "";
  if (next) {
    IcfEntry *chosen;
    // From the key's first instant, whichever of its entries were updated.
    if ((why = cli_select(&file, o.now, &interval, &o.delays, &chosen))) {
      std::fprintf(stderr, "%s: Time of completion, %s\n", Prog, why);
      icf_close(&file);
      return 1;
    }
    cli_line(line, sizeof line, &file.table, chosen, o.flags);
  }

  // Saved before printed: a line on the output always means a saved file.
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
