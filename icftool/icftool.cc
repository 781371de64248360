// icftool: creates, shows, checks, measures, marks, edits and runs interval
// checkpoint files for the people who run the jobs. One source file per
// command; commands.cc holds the command table that reads the command line.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cli.h"
#include "commands.h"
#include "tool.h"

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
  return run_command(argc, argv);
}
