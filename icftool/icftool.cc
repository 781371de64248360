// icftool: starts, shows and checks interval checkpoint files for the
// people who run the jobs. One source file per command; this one dispatches.
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string_view>

#include "cli.h"
#include "tool.h"

namespace {

struct Command {
  std::string_view name;
  int (*run)(int argc, char **argv);
};

const Command Commands[] = {
    {"create", cmd_create},
    {"show", cmd_show},
    {"check", cmd_check},
    {"run", cmd_run},
};

}  // namespace

int main(int argc, char **argv) {
  if (argc < 1 || !cli_guard_stdio()) return 1;
  const char *slash = strrchr(argv[0], '/');
  Prog = slash != nullptr ? slash + 1 : argv[0];
  tzset();
  if (int rc = parse_flags(argc, argv, 0, nullptr); rc != kGoOn) return rc;
  if (optind >= argc) {
    usage();
    return 1;
  }
  const std::string_view command = argv[optind];
  int sub_argc = argc - optind;
  char **sub_argv = argv + optind;
  for (const Command &c : Commands)
    if (command == c.name) return c.run(sub_argc, sub_argv);
  fail("Unknown command: %s", argv[optind]);
  usage();
  return 1;
}
