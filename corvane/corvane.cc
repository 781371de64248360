// corvane: records the outcome of processing one interval in a checkpoint
// file and, on request, names the next interval that needs processing.
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

// Reads the options into *o, *next and *help, leaving optind at the first
// argument; on CLI_OPTION_BAD or CLI_OPTION_BAD_ITEM the reason is in *why.
static CliOptionResult read_options(int argc, char *argv[], CliOptions *o,
                                    bool *next, bool *help, std::string *why) {
  opterr = 0;
  int ch;
  // '+': stop at the first word that is not an option, as POSIX does.
  while ((ch = getopt(argc, argv, "+hpfnt:d:")) != -1) {
    const CliOptionResult result = cli_common_option(ch, optarg, o, why);
    if (result == CLI_OPTION_TAKEN) continue;
    if (result != CLI_OPTION_OTHER) return result;
    if (ch == 'h') {
      *help = true;
      break;
    }
    if (ch != 'n') {
      *why = std::string("Invalid command-line option \"") + char(optopt) + '"';
      return CLI_OPTION_BAD;
    }
    *next = true;
  }
  return CLI_OPTION_TAKEN;
}

int main(int argc, char *argv[]) {
  Prog = cli_progname(argc > 0 ? argv[0] : "corvane");
  if (!cli_guard_stdio()) return 1;

  bool next = false, help = false;
  CliOptions o;
  std::string why;
  if (CliOptionResult got = read_options(argc, argv, &o, &next, &help, &why);
      got != CLI_OPTION_TAKEN)
    return cli_option_failure(Prog, got, why);
  if (help) {
    usage();
    return 0;
  }
  argc -= optind;
  argv += optind;
  if (argc != 3)
    return cli_fail(Prog, "Missing or extra arguments on command line");
  const char *path = argv[0];
  int status = static_cast<unsigned char>(argv[2][0]);
  if (status == 0 || !std::strchr("xars", status))
    return cli_fail(Prog, "Invalid status: %c", status);

  // Read before the file is opened: an impossible key leaves it untouched.
  time_t interval;
  if (const char *reason = icf_cnv_key(argv[1], &interval))
    return cli_fail(Prog, "Starting interval, %s", reason);

  IcfFile file{};
  if (!icf_open(&file, "QUENLOR", path))
    return cli_fail(Prog, "%s",
                    cli_failure_text(file.failure, path, false).c_str());
  cli_delays_complete(&o.delays, file.table.retries);

  time_t updated;
  if (!cli_set_status(&file, interval, status, &updated)) {
    icf_close(&file);
    return cli_fail(Prog, "No such interval");
  }

  char line[CLI_LINE_SIZE] = "";
  bool made = true;
  if (next) {
    IcfEntry *chosen;
    // From the key's first instant, whichever of its entries were updated.
    if (const char *reason =
            cli_select(&file, o.now, &interval, &o.delays, &chosen)) {
      icf_close(&file);
      return cli_fail(Prog, "Time of completion, %s", reason);
    }
    made = cli_line(line, sizeof line, &file.table, chosen, o.flags) >= 0;
  }
  return cli_finish(Prog, &file, path, made ? line : nullptr);
}
