// icftool's command table, and the one reader of command lines it drives.
#include "commands.h"

#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "cli.h"
#include "tool.h"

namespace {

// The kinds of option, each named by the setting its value fills.
using Flag = bool Settings::*;
using Key = time_t Settings::*;                // an interval key, strictly
using Number = int32_t Settings::*;            // a number in a range
using Numbers = std::bitset<256> Settings::*;  // numbers in a range, a set
using Letter = char Settings::*;               // a status letter
using Delays = CliDelays Settings::*;          // a delay list, as quenlor's
using File = const char *Settings::*;          // a file name
using Files = std::vector<const char *> Settings::*;  // file names, a list
using Setting =
    std::variant<Flag, Key, Number, Numbers, Letter, Delays, File, Files>;

struct Option {
  char letter;
  const char *value;  // the argument's name in the usage; null for a flag
  const char *help;
  Setting to;
  int32_t low = 0, high = INT32_MAX;  // a number's range; a list's length
};

struct Operands {
  const char *words;  // in the usage
  int least, most;    // how many; most negative: no limit
  int separator;      // the one that must be "--"; 0: none
};

struct Command {
  const char *name;
  Operands operands;
  const char *summary;
  std::vector<Option> options;
  int (*run)(const Settings &s, int count, char **operands);
};

const Option Now_Option = {'t', "now",
                           "the time to measure the lag at, as an interval key",
                           &Settings::now};
const Option Upstream_Option = {
    'a',
    "upstream",
    "name the due intervals that wait for this file (16 at most)",
    &Settings::upstreams,
    0,
    16};

const Command Commands[] = {
    {"create",
     {"file period entries retries", 4, 4, 0},
     "Starts a checkpoint file with the interval that ended last",
     {{'f', nullptr, "replace a file that exists", &Settings::force},
      {'s', "start", "start with this earlier interval (a backfill)",
       &Settings::start},
      {'t', "now", "the current time, as an interval key", &Settings::now}},
     cmd_create},
    {"show",
     {"file", 1, 1, 0},
     "Prints the entries, their counts, the oldest pending and the lag",
     {{'j', nullptr, "as JSON", &Settings::json}, Upstream_Option, Now_Option},
     cmd_show},
    {"check",
     {"file", 1, 1, 0},
     "Tells whether the file is sound, and why not",
     {{'l', "lag", "also a problem: more than lag seconds behind",
       &Settings::max_lag},
      {'x', "failed", "also a problem: more than failed entries with x",
       &Settings::max_failed},
      Upstream_Option,
      Now_Option},
     cmd_check},
    {"metrics",
     {"file...", 1, -1, 0},
     "Prints the files' state as Prometheus metrics",
     {{'o', "out", "write to out, replacing it whole", &Settings::out},
      Now_Option},
     cmd_metrics},
    {"mark",
     {"file from to status", 4, 4, 0},
     "Gives status (s, a or x) to the intervals from `from` up to `to`",
     {{'n', nullptr, "show what would change; change nothing",
       &Settings::dry_run},
      {'o', "status", "only the entries with this status letter",
       &Settings::only}},
     cmd_mark},
    {"edit",
     {"file", 1, 1, 0},
     "Edits a checked copy and saves it under the lock",
     {},
     cmd_edit},
    {"run",
     {"file -- command [arg ...]", 3, -1, 1},
     "Runs command once for every due interval and records each outcome",
     {{'d', "delays", "retry delays in seconds, as quenlor's -d",
       &Settings::delays},
      {'t', "time", "the current time, as an interval key", &Settings::now},
      {'x', "status", "an exit status that fails the interval at once",
       &Settings::give_up, 1, 255},
      {'T', "timeout", "seconds a run may take (0: no limit)",
       &Settings::timeout},
      {'k', "grace", "seconds between SIGTERM and SIGKILL (10)",
       &Settings::grace},
      {'m', "max", "intervals started per run at most (0: no limit)",
       &Settings::max, 1},
      {'w', "wait", "seconds to wait for another runner (0)", &Settings::wait},
      {'j', "jobs", "commands at once (1)", &Settings::jobs, 1, 1024},
      {'b', "batch", "consecutive intervals per command (1)", &Settings::batch,
       1, 1000000},
      {'a', "upstream",
       "an upstream file, whose overlapping intervals must be done",
       &Settings::upstreams, 0, 16},
      {'N', "status", "an exit status that leaves the interval as it was",
       &Settings::not_ready, 1, 255},
      {'o', nullptr, "in order: only once every earlier interval is done",
       &Settings::in_order},
      {'D', "seconds", "fail an interval not done seconds after its end",
       &Settings::deadline, 1}},
     cmd_run},
};

// The program itself, before a command: -h alone.
const Command Top = {"", {"", 0, -1, 0}, "", {}, nullptr};

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
  return text + " " + c.operands.words;
}

// The usage of `c` with every option it takes, on standard output.
int command_help(const Command &c) {
  printf("usage: %s %s\n%s.\n", Prog, synopsis(c).c_str(), c.summary);
  for (const Option &o : c.options) {
    const std::string left = std::string("-") + o.letter +
                             (o.value ? " " : "") + (o.value ? o.value : "");
    printf("  %-12s %s\n", left.c_str(), o.help);
  }
  printf("  %-12s %s\n", "-h", "this text");
  return finish_output();
}

template <class... F>
struct Overload : F... {
  using F::operator()...;
};

// Puts the value `arg` of option `o` into its setting. False with the
// reason in *why: one wording for every kind but the delay list, which
// words its faults as quenlor does.
bool take(const Option &o, const char *arg, Settings *s, std::string *why) {
  // A number out of range is taken by no setting.
  int32_t n = 0;
  const bool number_ok = number(arg ? arg : "", o.low, &n) && n <= o.high;
  const bool taken = std::visit(
      Overload{
          [&](Flag to) { return s->*to = true; },
          [&](Key to) { return key_option(arg, &(s->*to)); },
          [&](Number to) {
            if (number_ok) s->*to = n;
            return number_ok;
          },
          [&](Numbers to) {
            if (number_ok) (s->*to).set(n);
            return number_ok;
          },
          [&](Letter to) {
            const bool letter =
                strlen(arg) == 1 && status_index(arg[0]) != Unknown_Status;
            if (letter) s->*to = arg[0];
            return letter;
          },
          [&](Delays to) {
            return cli_delay_option(&(s->*to), arg, why) == CLI_DELAY_OK;
          },
          [&](File to) {
            s->*to = arg;
            return true;
          },
          [&](Files to) {
            const bool room = int64_t((s->*to).size()) < o.high;
            if (room)
              (s->*to).push_back(arg);
            else
              *why = std::string("Too many -") + o.letter + " options (" +
                     std::to_string(o.high) + " at most)";
            return room;
          },
      },
      o.to);
  if (!taken && why->empty())
    *why = std::string("Invalid option value for -") + o.letter + ": " + arg;
  return taken;
}

enum class Read { Go_On, Help, Bad };

// Reads the options of `c` from argv, whose first word is the command (or
// the program), into *s; optind is left at the first operand.
Read read_options(const Command &c, int argc, char **argv, Settings *s,
                  std::string *why) {
  std::string letters = "+h";  // '+': the options end at the first operand
  for (const Option &o : c.options)
    letters += std::string(1, o.letter) + (o.value ? ":" : "");
  opterr = 0;
  optind = 1;
#ifdef ICF_HAVE_OPTRESET
  optreset = 1;  // the BSDs keep the position inside a word here
#endif
  for (int ch; (ch = getopt(argc, argv, letters.c_str())) != -1;) {
    if (ch == 'h') return Read::Help;
    const Option *option = nullptr;
    for (const Option &o : c.options)
      if (o.letter == ch && ch != '?') option = &o;
    if (option == nullptr) {
      *why = std::string("Invalid command-line option \"") + char(optopt) + '"';
      return Read::Bad;
    }
    if (!take(*option, optarg, s, why)) return Read::Bad;
  }
  return Read::Go_On;
}

bool operands_fit(const Operands &o, int count, char **operands) {
  return count >= o.least && (o.most < 0 || count <= o.most) &&
         (o.separator == 0 || strcmp(operands[o.separator], "--") == 0);
}

}  // namespace

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

int run_command(int argc, char **argv) {
  Settings s;
  std::string why;
  const Read top = read_options(Top, argc, argv, &s, &why);
  if (top == Read::Bad) return cli_fail(Prog, "%s", why.c_str());
  argc -= optind;
  argv += optind;
  if (top == Read::Help || argc < 1) {
    print_usage(stderr);
    return top == Read::Help ? 0 : 1;
  }
  const Command *c = find(argv[0]);
  if (c == nullptr) {
    cli_fail(Prog, "Unknown command: %s", argv[0]);
    print_usage(stderr);
    return 1;
  }
  const Read read = read_options(*c, argc, argv, &s, &why);
  if (read == Read::Help) return command_help(*c);
  if (read == Read::Bad) return cli_fail(Prog, "%s", why.c_str());
  if (!operands_fit(c->operands, argc - optind, argv + optind))
    return cli_fail(Prog,
                    "Missing or extra arguments on command line (see %s %s "
                    "-h)",
                    Prog, c->name);
  return c->run(s, argc - optind, argv + optind);
}
