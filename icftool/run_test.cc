// Runs `icftool run` as cron would, with tiny shell scripts as the job.
#include <gtest/gtest.h>

#include "program_test.h"

namespace {

const int Env = setenv("T", ICFTOOL_BIN " run", 1) +
                setenv("Q", QUENLOR_BIN, 1) + setenv("C", CORVANE_BIN, 1);
const std::string Head = "PERIOD=900\nENTRIES=8\nRETRIES=1\n";
const std::string Z = "240531234500", A = "240601000000", B = "240601001500";

std::string untimed(const std::string &err) {
  return std::regex_replace(err, std::regex(" in [0-9.]+ s\n"), "\n");
}

std::string summary(int run, int done, int retry, int failed,
                    const std::string &note = "") {
  return "icftool: run " + std::to_string(run) + ", done " +
         std::to_string(done) + ", retry " + std::to_string(retry) +
         ", failed " + std::to_string(failed) + note + "\n";
}

// What the command sees, across a clock change and with retries: each
// interval ends where the scheduler starts the next one.
TEST(Run, EnvironmentAcrossClockChanges) {
  Scratch s("PERIOD=86400\nENTRIES=9\nRETRIES=2\n" +
            entry("241102000000", 's') +
            entry("241103000000", 'r', 2, -1, ago(5)));
  Ran r = s.run(
      "$T -t 241105000000 f -- sh -c 'echo $ICF_INTERVAL $ICF_START_ISO "
      "$ICF_END_ISO $((ICF_END-ICF_START)) $ICF_RETRY $ICF_LAST_RETRY >>log; "
      "! read x || echo stdin'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");  // standard input is /dev/null
  EXPECT_EQ(s.read("log"),
            "241103000000 2024-11-03T00:00:00-04:00 2024-11-04T00:00:00-05:00 "
            "90000 2 1\n241104000000 2024-11-04T00:00:00-05:00 "
            "2024-11-05T00:00:00-05:00 86400 0 0\n");
}

std::string said(const std::string &key, const std::string &what) {
  return "icftool: " + key + " " + what + "\n";
}

// Outcome mapping, retry delays, RETRIES and one try per interval and run.
TEST(Run, RecordsOutcomes) {
  struct Case {
    std::string entries, options, job, err, after;
    int status;
  } cases[] = {
      {entry(A, 'n'), "", "exit 0", said(A, "done") + summary(1, 1, 0, 0),
       entry(A, 's'), 0},
      {entry(A, 'n'), "-x 65 -x 70", "exit 70",
       said(A, "failed (exit status 70)") + summary(1, 0, 0, 1), entry(A, 'x'),
       1},
      {entry(A, 'n'), "", "kill -KILL $$",
       said(A, "retry (signal 9)") + summary(1, 0, 1, 0), entry(A, 'r', 1), 1},
      {entry(A, 'n'), "-T 1 -k 1", "trap \"\" TERM; sleep 30",
       said(A, "retry (timeout after 1 s)") + summary(1, 0, 1, 0),
       entry(A, 'r', 1), 1},
      // Held back by its delay; then due, and beyond RETRIES.
      {entry(A, 'r', 1, -1, ago(100)), "-d 600", "exit 1", summary(0, 0, 0, 0),
       entry(A, 'r', 1), 0},
      {entry(A, 'r', 1, -1, ago(700)), "-d 600", "exit 1",
       said(A, "failed (exit status 1)") + summary(1, 0, 0, 1),
       entry(A, 'x', 2), 1},
      // The job asks for an interval done before again; the runner sees it.
      {entry(Z, 's') + entry(A, 'n'), "",
       "[ $ICF_INTERVAL != " + A + " ] || $C f " + Z + " a",
       said(A, "done") + said(Z, "done") + summary(2, 2, 0, 0),
       entry(Z, 's') + entry(A, 's'), 0},
      // A stop signal to the runner reaches the job; the interval stays.
      {entry(A, 'n'), "",
       "trap \"echo job stopped >&2\" TERM; kill -TERM $PPID; sleep 30 & wait",
       "job stopped\n" + said(A, "left as it was (signal 15 to the runner)") +
           summary(1, 0, 0, 0, "; stopped by signal 15"),
       entry(A, 'n'), 143},
      {entry(A, 'n') + entry(B, 'n'), "-m 1", "exit 0",
       said(A, "done") + summary(1, 1, 0, 0, "; limit of 1 reached"),
       entry(A, 's') + entry(B, 'n'), 0},
  };
  for (const auto &c : cases) {
    Scratch s(Head + c.entries);
    Ran r = s.run("$T -t 240601001500 " + c.options + " f -- sh -c '" + c.job +
                  "'");
    EXPECT_EQ(r.status, c.status) << c.job;
    EXPECT_EQ(untimed(r.err), c.err) << c.job;
    EXPECT_EQ(unstamped(s.read()), unstamped(Head + c.after)) << c.job;
  }
}

// A second runner leaves at once, a third waits; no interval runs twice.
// corvane and quenlor change the file from the job; the runner keeps that.
TEST(Run, RunnersAndProgramsShareTheFile) {
  Scratch s(Head + entry(A, 'n') + entry(B, 'n'));
  Ran r = s.run(
      "$T -t 240601003000 f -- sh -c '"
      "touch started; sleep 1; [ $ICF_INTERVAL != " +
      A +
      " ] || "
      "$C f " +
      B +
      " x && $Q -t 240601004500 f >/dev/null' 2>one & "
      "until [ -e started ]; do sleep .05; done; "
      "$T -t 240601003000 f -- true 2>two; echo $?; "
      "$T -w 60 -t 240601003000 f -- true 2>three; "
      "echo $?; wait $!; echo $?");
  EXPECT_EQ(r.out, "0\n0\n0\n");
  EXPECT_EQ(s.read("two"), "icftool: Another runner is busy with f; leaving\n");
  EXPECT_EQ(
      untimed(s.read("one")),
      said(A, "done") + said("240601003000", "done") + summary(2, 2, 0, 0));
  EXPECT_EQ(s.read("three"), summary(0, 0, 0, 0));
  EXPECT_EQ(unstamped(s.read()),
            unstamped(Head + entry(A, 's') + entry(B, 'x') +
                      entry("240601003000", 's')));
}

}  // namespace
