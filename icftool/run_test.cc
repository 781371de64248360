// Runs `icftool run` as cron would, with tiny shell scripts as the job.
#include <gtest/gtest.h>
#include <unistd.h>

#include "program_test.h"

namespace {

const int Env = setenv("T", ICFTOOL_BIN " run", 1) +
                setenv("Q", QUENLOR_BIN, 1) + setenv("C", CORVANE_BIN, 1);
const std::string Head = "PERIOD=900\nENTRIES=8\nRETRIES=1\n";
const std::string Z = "240531234500", A = "240601000000", B = "240601001500";
// Writes "alive PID" for every process named in the file pids that lives.
const std::string Alive =
    "; for p in $(cat pids 2>&-); do kill -0 $p 2>&- && echo alive; done";

std::string untimed(const std::string &err) {
  return std::regex_replace(err, std::regex(" in [0-9.]+ s\n"), "\n");
}

std::string summary(int run, int done, int retry, int failed,
                    const std::string &note = "") {
  return "icftool: run " + std::to_string(run) + ", done " +
         std::to_string(done) + ", retry " + std::to_string(retry) +
         ", failed " + std::to_string(failed) + note + "\n";
}

std::string due(int n, const std::string &first, const std::string &last) {
  return "icftool: " + std::to_string(n) +
         (n == 1 ? " interval due, " + first
                 : " intervals due, " + first + " to " + last) +
         "\n";
}

std::string said(int place, int of, const std::string &key,
                 const std::string &what) {
  return "icftool: [" + std::to_string(place) + "/" + std::to_string(of) +
         "] " + key + " " + what + "\n";
}

// An entry line as a file in `zone` holds it.
std::string entry_in(const char *zone, const std::string &key, char status) {
  setenv("TZ", zone, 1);
  tzset();
  const std::string line = entry(key, status);
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  return line;
}

// What each command sees, across clock changes, with retries and in
// batches: a batch ends where the scheduler starts the interval after its
// last, covers a repeated span once, and stops at a retry count that
// differs, an interval held back or not due, and -b.
TEST(Run, EnvironmentOfEachCommand) {
  const char *howe = "Australia/Lord_Howe";
  const bool no_howe = access("/usr/share/zoneinfo/Australia/Lord_Howe", 0);
  const std::string all =
      " $ICF_START_ISO $ICF_END_ISO $((ICF_END-ICF_START)) $ICF_RETRY "
      "$ICF_LAST_RETRY";
  // No signal the runner ignores (SIGXFSZ) stays ignored for the command.
  const std::string Ign = " 0\n";
  struct Case {
    const char *zone;
    std::string text, options, vars, log;
  } cases[] = {
      {nullptr,
       "PERIOD=86400\nENTRIES=9\nRETRIES=2\n" + entry("241102000000", 's') +
           entry("241103000000", 'r', 2, -1, ago(5)),
       "-t 241105000000", all,
       "241103000000 / 1 2024-11-03T00:00:00-04:00 2024-11-04T00:00:00-05:00 "
       "90000 2 1\n241104000000 / 1 2024-11-04T00:00:00-05:00 "
       "2024-11-05T00:00:00-05:00 86400 0 0\n"},
      {nullptr,
       "PERIOD=1800\nENTRIES=9\nRETRIES=2\n" + entry("241103000000", 's'),
       "-b 4 -t 241103033000", all,
       "241103003000 241103010000 241103013000 241103020000 / 4 "
       "2024-11-03T00:30:00-04:00 2024-11-03T02:30:00-05:00 10800 0 0\n"
       "241103023000 241103030000 / 2 2024-11-03T02:30:00-05:00 "
       "2024-11-03T03:30:00-05:00 3600 0 0\n"},
      {howe,
       "PERIOD=1800\nENTRIES=9\nRETRIES=2\n" +
           entry_in(howe, "240407000000", 's'),
       "-b 4 -t 240407033000", all,
       "240407003000 240407010000 240407013000 240407020000 / 4 "
       "2024-04-07T00:30:00+11:00 2024-04-07T02:30:00+10:30 9000 0 0\n"
       "240407023000 240407030000 / 2 2024-04-07T02:30:00+10:30 "
       "2024-04-07T03:30:00+10:30 3600 0 0\n"},
      {nullptr,
       Head + entry(Z, 'n') + entry(A, 'r', 1) + entry(B, 'n') +
           entry("240601003000", 'n') + entry("240601004500", 'n'),
       "-b 2 -t 240601011500",
       " $((0x$(grep SigIgn /proc/self/status | cut -f2) >> 24 & 1))",
       Z + " / 1" + Ign + A + " / 1" + Ign + B + " 240601003000 / 2" + Ign +
           "240601004500 240601010000 / 2" + Ign},
      {nullptr,
       Head + entry(Z, 'n') + entry(A, 'r', 1, -1, ago(5)) + entry(B, 'n') +
           entry("240601003000", 's') + entry("240601004500", 'n'),
       "-b 9 -d 600 -t 240601011500", "",
       Z + " / 1\n" + B + " / 1\n" + "240601004500 240601010000 / 2\n"},
  };
  for (const auto &c : cases) {
    if (c.zone != nullptr && no_howe) {
      std::cout << "[  SKIPPED ] no zone file for " << c.zone << "\n";
      continue;
    }
    Scratch s(c.text);
    const std::string zone = c.zone ? std::string("TZ=") + c.zone + " " : "";
    Ran r = s.run(zone + "$T " + c.options +
                  " f -- sh -c 'echo $ICF_INTERVALS / $ICF_COUNT" + c.vars +
                  " >>log; ! read x || echo stdin'");
    EXPECT_EQ(r.out, "") << c.options;  // standard input is /dev/null
    EXPECT_EQ(s.read("log"), c.log) << c.options;
  }
}

// Outcome mapping, retry delays, RETRIES, one try per interval and run, and
// the end of an interval: only once nothing of its process group is left.
TEST(Run, RecordsOutcomes) {
  const std::string helper = "(trap \"\" TERM; exec sleep 30) & echo $! >pids";
  struct Case {
    std::string entries, options, job, err, after;
    int status;
  } cases[] = {
      {entry(A, 'n'), "", "exit 0",
       due(1, A, A) + said(1, 1, A, "done") + summary(1, 1, 0, 0),
       entry(A, 's'), 0},
      {entry(A, 'n'), "-x 65 -x 70", "exit 70",
       due(1, A, A) + said(1, 1, A, "failed (exit status 70)") +
           summary(1, 0, 0, 1),
       entry(A, 'x'), 1},
      {entry(A, 'n'), "", "kill -KILL $$",
       due(1, A, A) + said(1, 1, A, "retry (signal 9)") + summary(1, 0, 1, 0),
       entry(A, 'r', 1), 1},
      // The helpers of a command that ended, timed out or was stopped.
      {entry(A, 'n'), "-k 1", helper + "; exit 0",
       due(1, A, A) + said(1, 1, A, "done") + summary(1, 1, 0, 0),
       entry(A, 's'), 0},
      {entry(A, 'n'), "-T 1 -k 1", helper + "; wait",
       due(1, A, A) + said(1, 1, A, "retry (timeout after 1 s)") +
           summary(1, 0, 1, 0),
       entry(A, 'r', 1), 1},
      {entry(A, 'n'), "-k 1",
       helper + "; trap \"echo job stopped >&2\" TERM; kill -TERM $PPID; wait",
       due(1, A, A) + "job stopped\n" +
           said(1, 1, A, "left as it was (signal 15 to the runner)") +
           summary(1, 0, 0, 0, "; stopped by signal 15"),
       entry(A, 'n'), 143},
      // Held back by its delay, silently; then due, and beyond RETRIES.
      {entry(A, 'r', 1, -1, ago(100)), "-d 600", "exit 1", "", entry(A, 'r', 1),
       0},
      {entry(A, 'r', 1, -1, ago(700)), "-d 600", "exit 1",
       due(1, A, A) + said(1, 1, A, "failed (exit status 1)") +
           summary(1, 0, 0, 1),
       entry(A, 'x', 2), 1},
      // The job asks for an interval done before again; the runner sees it.
      {entry(Z, 's') + entry(A, 'n'), "",
       "[ $ICF_INTERVAL != " + A + " ] || $C f " + Z + " a",
       due(1, A, A) + said(1, 1, A, "done") + said(2, 2, Z, "done") +
           summary(2, 2, 0, 0),
       entry(Z, 's') + entry(A, 's'), 0},
      {entry(A, 'n') + entry(B, 'n'), "-m 1", "exit 0",
       due(2, A, B) + said(1, 2, A, "done") +
           summary(1, 1, 0, 0, "; limit of 1 reached"),
       entry(A, 's') + entry(B, 'n'), 0},
      {entry(A, 'n') + entry(B, 'n'), "-j 2 -b 2", "nosuchcommand",
       "icftool: 2 intervals due, " + A + " to " + B +
           "\nicftool: Cannot run nosuchcommand: No such file or directory\n",
       entry(A, 'n') + entry(B, 'n'), 1},
      // Input missing: the batch stays byte for byte, and a run that only
      // waits says nothing; its lines come out with the first news.
      {entry(A, 'r', 1) + entry(B, 'r', 1), "-N 75 -b 2", "exit 75", "",
       entry(A, 'r', 1) + entry(B, 'r', 1), 0},
      {entry(A, 'n') + entry(B, 'n'), "-N 75 -N 9",
       "[ $ICF_INTERVAL = " + B + " ] || exit 75",
       due(2, A, B) +
           said(1, 2, A,
                "not ready (exit status "
                "75)") +
           said(2, 2, B, "done") + summary(2, 1, 0, 0, ", not ready 1"),
       entry(A, 'n') + entry(B, 's'), 0},
      // In order: a failed interval holds the ones after it.
      {entry(Z, 'n') + entry(A, 'x') + entry(B, 'n'), "-o -j 2", "exit 0",
       due(1, Z, Z) + "icftool: " + A +
           " failed: the intervals after it wait "
           "until it is marked (-o)\n" +
           said(1, 1, Z, "done") + summary(1, 1, 0, 0),
       entry(Z, 's') + entry(A, 'x') + entry(B, 'n'), 1},
      // Past the deadline, also while held back by the retry delay: failed
      // without a run, a line per range.
      {entry("240531230000", 'n') + entry("240531231500", 'r', 1, -1, ago(9)) +
           entry("240531233000", 's') + entry(Z, 'n') + entry(A, 'n'),
       "-D 900 -d 600", "exit 0",
       "icftool: 2 intervals past their deadline (900 s after the end), "
       "recorded failed: 240531230000 to 240531231500\nicftool: 1 interval "
       "past its deadline (900 s after the end), recorded failed: " +
           Z + "\n" + due(1, A, A) + said(1, 1, A, "done") +
           summary(1, 1, 0, 0),
       entry("240531230000", 'x') + entry("240531231500", 'x', 1) +
           entry("240531233000", 's') + entry(Z, 'x') + entry(A, 's'),
       1},
  };
  for (const auto &c : cases) {
    Scratch s(Head + c.entries);
    const bool direct = c.job == "nosuchcommand";
    Ran r =
        s.run("$T -t 240601001500 " + c.options + " f -- " +
              (direct ? c.job : "sh -c '" + c.job + "'") + "; echo $?" + Alive);
    EXPECT_EQ(r.out, std::to_string(c.status) + "\n") << c.job;
    EXPECT_EQ(untimed(r.err), c.err) << c.job;
    EXPECT_EQ(unstamped(s.read()), unstamped(Head + c.after)) << c.job;
    if (c.after == c.entries) {
      EXPECT_EQ(s.read(), Head + c.after) << c.job;
    }
  }
}

// At most -j commands at once, each interval once, every outcome recorded;
// a stop signal reaches every group, records nothing and leaves nothing.
TEST(Run, Parallel) {
  std::string text = Head, done = Head;
  for (int i = 0; i < 8; ++i) {
    const std::string key = "2406010" + std::to_string(i / 4) +
                            std::to_string(i % 4 * 15 + 100).substr(1) + "00";
    text += entry(key, 'n');
    done += entry(key, i == 5 ? 'r' : 's', i == 5);
  }
  Scratch s(text);
  Ran r = s.run(
      "$T -j 3 -t 240601020000 f -- sh -c 'echo + $ICF_INTERVAL >>log; "
      "sleep .3; echo - $ICF_INTERVAL >>log; "
      "[ $ICF_INTERVAL != 240601011500 ]' 2>&-; sort log | uniq -d; awk '{ n "
      "+= $1 == \"+\" ? 1 : -1;"
      " if (n > most) most = n } END { print NR, (most > 1 && most <= 3) }' "
      "log");
  EXPECT_EQ(r.out, "16 1\n");  // no interval twice, 2 or 3 at once
  EXPECT_EQ(unstamped(s.read()), unstamped(done));

  Scratch t(text);
  r = t.run(
      "$T -j 3 -k 1 -t 240601020000 f -- sh -c '(trap \"\" TERM; exec sleep "
      "30) & echo $! >>pids; trap \"echo got TERM >>log\" TERM; touch "
      "started.$ICF_INTERVAL; wait' 2>err & "
      "until [ $(ls started.* 2>&- | wc -l) = 3 ]; do sleep .05; done; "
      "kill -TERM $!; wait $!; echo $?; cat log" +
      Alive);
  EXPECT_EQ(r.out, "143\ngot TERM\ngot TERM\ngot TERM\n");
  EXPECT_EQ(unstamped(t.read()), unstamped(text));
}

// A stop signal goes on at once to every running group, wherever the
// runner takes it in: while a turn waits for the file's lock, which another
// program holds (the turn then gives up, and the interval that had ended
// stays as it was too), or between two turns. The summary counts only the
// intervals whose commands started.
TEST(Run, StopSignals) {
  const std::string keys[] = {A, B, "240601003000", "240601004500",
                              "240601010000"};
  std::string text = Head;
  for (const std::string &key : keys) text += entry(key, 'n');
  const std::string job =
      "#!/bin/sh\ntrap 'echo $ICF_INTERVAL got >>log; exit 1' TERM HUP\n"
      "if [ $ICF_INTERVAL = 240601000000 ]; then echo $$ >pid\n"
      "until [ -e go ]; do sleep .05; done\n"
      "else touch started.$ICF_INTERVAL; sleep 5 & wait; fi\n"
      "echo $ICF_INTERVAL end >>log\n";
  struct Case {
    const char *sig;
    int number, jobs;
    bool held;  // another program holds the file while the signal comes
  } cases[] = {{"TERM", 15, 2, true},
               {"TERM", 15, 4, false},
               {"INT", 2, 2, true},
               {"HUP", 1, 4, false}};
  for (const Case &c : cases) {
    Scratch s(text);
    std::ofstream(s.dir + "/job") << job;
    const int running = c.jobs - 1;
    const std::string wait_for = "until [ $(ls started.* 2>&- | wc -l) = ",
                      left = "left as it was (signal " +
                             std::to_string(c.number) + " to the runner)";
    Ran r = s.run(
        "chmod +x job; $T -j " + std::to_string(c.jobs) +
        " -k 1 -t 240601011500 f -- ./job 2>err & R=$!; " + wait_for +
        std::to_string(running) + " ] && [ -s pid ]; do sleep .05; done; " +
        (c.held ? "flock f sh -c 'touch held; sleep 5' & "
                  "until [ -e held ]; do sleep .05; done; "
                : "") +
        "touch go; while kill -0 $(cat pid) 2>&-; do sleep .05; done; " +
        (c.held
             ? ""
             : wait_for + std::to_string(c.jobs) + " ]; do sleep .05; done; ") +
        "kill -" + c.sig +
        " $R; wait $R; echo $?; grep -c end log; LC_ALL=C sort err");
    std::string err = due(5, A, keys[4]);
    err += said(1, 5, A, c.held ? left : "done");
    for (int i = 1; i <= c.jobs - int(c.held); ++i)
      err += said(i + 1, 5, keys[i], left);
    const int started = c.held ? c.jobs : c.jobs + 1;
    err += summary(started, !c.held, 0, 0,
                   "; stopped by signal " + std::to_string(c.number));
    EXPECT_EQ(untimed(r.out), std::to_string(128 + c.number) + "\n1\n" + err)
        << c.sig;
    EXPECT_EQ(
        unstamped(s.read()),
        unstamped(c.held ? text : edit(text, entry(A, 'n'), entry(A, 's'))))
        << c.sig;
  }
}

// A second runner leaves at once, naming the holder; a third waits; no
// interval runs twice. corvane and quenlor change the file from the job;
// the runner keeps that.
TEST(Run, RunnersAndProgramsShareTheFile) {
  Scratch s(Head + entry(A, 'n') + entry(B, 'n'));
  Ran r = s.run(
      "$T -t 240601003000 f -- sh -c '"
      "touch started; sleep 1; [ $ICF_INTERVAL != " +
      A + " ] || $C f " + B +
      " x && $Q -t 240601004500 f >/dev/null' 2>one & "
      "until [ -e started ]; do sleep .05; done; "
      "$T -t 240601003000 f -- true 2>two; echo $?; "
      "$T -w 60 -t 240601003000 f -- true 2>three; "
      "echo $?; wait $!; echo $?");
  EXPECT_EQ(r.out, "0\n0\n0\n");
  EXPECT_TRUE(std::regex_match(
      s.read("two"), std::regex("icftool: Another runner \\(host [^ ]+, pid "
                                "[0-9]+, since [0-9]{2}:[0-9]{2}\\) is busy "
                                "with f; leaving\n")))
      << s.read("two");
  EXPECT_EQ(untimed(s.read("one")), due(2, A, B) + said(1, 2, A, "done") +
                                        said(2, 2, "240601003000", "done") +
                                        summary(2, 2, 0, 0));
  EXPECT_EQ(s.read("three"), "");
  EXPECT_EQ(unstamped(s.read()),
            unstamped(Head + entry(A, 's') + entry(B, 'x') +
                      entry("240601003000", 's')));
}

// The command's own same-sized change in place (the file has a second
// name), made within moments of the runner's save (the same second, and on
// a coarse clock the same tick), is seen: the interval it marked failed is
// not run.
TEST(Run, CommandsSameSizedChange) {
  Scratch s(Head + entry(A, 'n') + entry(B, 'n'));
  Ran r =
      s.run("ln f g; $T -t 240601003000 f -- sh -c '[ $ICF_INTERVAL != " + A +
            " ] || $C g " + B + " x'; echo $?");
  EXPECT_EQ(r.out, "0\n");
  EXPECT_EQ(untimed(r.err),
            due(2, A, B) + said(1, 2, A, "done") + summary(1, 1, 0, 0));
  EXPECT_EQ(unstamped(s.read()),
            unstamped(Head + entry(A, 's') + entry(B, 'x')));
}

// One runner per file whatever its name; names at the system's limits.
TEST(Run, NamesOfTheFile) {
  const std::string run = "$T -t 240601001500 ", name(253, 'n'), dir(200, 'd');
  const std::string busy =
      " -- sh -c 'touch started; sleep 1' & until [ -e "
      "started ]; do sleep .05; done; ";
  const std::string cases[] = {
      "ln f g; " + run + "f" + busy + run + "g -- true",
      "ln -s ./f g; " + run + "g" + busy + run + "$PWD/f -- true",
      "mv f " + name + "; " + run + name + " -- true; echo $?; $Q -t " +
          "240601001500 " + name,
      // dash cannot change into a directory this deep; bash can.
      "bash -c 'top=$PWD; for i in $(seq 24); do mkdir " + dir + " && cd " +
          dir + " || exit; done; cp $top/f f; " + run +
          "f -- true; echo $?; $Q -t 240601001500 f; cd $top; rm -rf " + dir +
          "'",
  };
  for (const std::string &line : cases) {
    Scratch s(Head + entry(A, 'n'));
    Ran r = s.run(line + "; echo $?; wait");
    const bool shared = line.find("busy") == std::string::npos &&
                        line.find("started") != std::string::npos;
    EXPECT_EQ(r.out, shared ? "0\n" : "0\n0\n0\n") << line;
    EXPECT_EQ(r.err.find("is busy with ") != std::string::npos, shared)
        << r.err;
  }
}

// A symbolic link changed while the runner waits for its lock: it
// processes the file it locked, or refuses one that became a link itself.
TEST(Run, LinkChangedBeforeTheOpen) {
  const std::string cases[] = {"ln -sf h g", "mv f f0; ln -s h f"};
  for (const std::string &swap : cases) {
    Scratch s(Head + entry(A, 'n'));
    std::ofstream(s.dir + "/h") << Head + entry(A, 'n');
    Ran r = s.run(
        "ln -s f g; flock f.lock sh -c 'touch held; until [ -e go ]; do sleep "
        ".05; done' & until [ -e held ]; do sleep .05; done; $T -w 30 -t "
        "240601001500 g -- true 2>err & R=$!; until ls -l /proc/$R/fd | grep "
        "-q f.lock; do sleep .05; done; " +
        swap + "; touch go; wait $R; echo $?; cat err");
    const bool refused = swap.starts_with("mv");
    EXPECT_EQ(untimed(r.out),
              refused ? "1\nicftool: Cannot open checkpoint file: g: "
                        "Too many levels of symbolic links\n"
                      : "0\n" + due(1, A, A) + said(1, 1, A, "done") +
                            summary(1, 1, 0, 0))
        << swap;
    EXPECT_EQ(unstamped(s.read(refused ? "f0" : "f")),
              unstamped(Head + entry(A, refused ? 'n' : 's')))
        << swap;
    EXPECT_EQ(s.read("h"), Head + entry(A, 'n')) << swap;
  }
}

// The runner SIGKILLed with two commands running: their groups hold its
// lock until the last process is gone; the intervals then run again.
TEST(Run, KilledRunner) {
  Scratch s(Head + entry(A, 'n') + entry(B, 'n'));
  const std::string run = "$T -t 240601001500 ";
  Ran r = s.run(run +
                "-j 2 f -- sh -c 'echo start >>log; sleep 1; echo end >>log' "
                "2>&- & until [ \"$(grep -c start log 2>&-)\" = 2 ]; do sleep "
                ".05; done; kill -KILL $!; wait $!; " +
                run + "f -- true; echo $?; " + run +
                "-w 30 f -- sh -c 'echo again >>log' 2>&-; echo $?; cat log");
  EXPECT_EQ(r.out, "0\n0\nstart\nstart\nend\nend\nagain\nagain\n");
  EXPECT_NE(r.err.find(", a command of runner "), std::string::npos) << r.err;
  EXPECT_EQ(unstamped(s.read()),
            unstamped(Head + entry(A, 's') + entry(B, 's')));
}

// Hourly loads upstream, done but for `hold`, and a downstream of `period`
// from `from`: an interval starts only once every upstream hour it
// overlaps is done, by instants across the clock changes (the files hold
// 24 hours for the day of 25, 23 for those of 23 and 23.5). A row without
// `up` sets the upstream up with the shell line `hold`.
TEST(Run, Upstream) {
  const char *howe = "Australia/Lord_Howe", *ny = "America/New_York";
  struct Case {
    const char *zone, *up, *up_now, *hold;
    int period;
    std::string from, now, out;
  } cases[] = {
      {ny, "241102", "241104010500", "", 86400, "241103", "241104010500",
       "0 s 24\n" + due(1, "241103000000", "")},
      {ny, "241102", "241104010500", "241103010000", 86400, "241103",
       "241104010500", "0 n 24\n"},
      {ny, "240309", "240311010500", "240310030000", 86400, "240310",
       "240311010500", "0 n 23\n"},
      {howe, "240406", "240408010500", "", 86400, "240407", "240408010500",
       "0 s 24\n" + due(1, "240407000000", "")},
      {howe, "241005", "241007010500", "241006230000", 86400, "241006",
       "241007010500", "0 n 23\n"},
      {nullptr, "241103", "241103030500", "241103010000", 900, "241103014500",
       "241103030500", "0 nssss 3\n" + due(4, "241103020000", "241103024500")},
      // Not appended yet; no longer held; an hour missing amid the file;
      // unreadable; the file itself.
      {nullptr, "241103", "241103120500", "", 86400, "241103", "241104010500",
       "0 n 12\n"},
      {nullptr, "24110306", "241104010500", "", 86400, "241103", "241104010500",
       "1 n 18\nicftool: Upstream up does not hold 241103000000 up to "
       "241103060000 (older than the file holds); the intervals that need it "
       "wait until marked\n"},
      {nullptr, nullptr, "",
       "${T% run} create -s 241103 -t 241104010500 up 3600 99 1 && $T -t "
       "241104010500 up -- true 2>&- && sed -i /^241103050000/d up",
       86400, "241103", "241104010500",
       "1 n 23\nicftool: Upstream up does not hold 241103050000 up to "
       "241103060000 (not in the file); the intervals that need it wait until "
       "marked\n"},
      {nullptr, nullptr, "", "echo x >up", 86400, "241103", "241104010500",
       "1 n 0\nicftool: Invalid checkpoint file: up\n"},
      {nullptr, nullptr, "", "ln -s f up", 86400, "241103", "241104010500",
       "1 n 1\nicftool: Upstream up is the file f itself\n"},
  };
  for (const Case &c : cases) {
    if (c.zone == howe &&
        access("/usr/share/zoneinfo/Australia/Lord_Howe", 0)) {
      std::cout << "[  SKIPPED ] no zone file for " << c.zone << "\n";
      continue;
    }
    const std::string I = "${T% run} ", u = c.up ? c.up : "";
    Scratch s;
    Ran r = s.run(
        (c.zone ? std::string("export TZ=") + c.zone + "; " : "") +
        (c.up ? I + "create -s " + u + " -t " + c.up_now +
                    " up 3600 99 1; $T -t " + c.up_now +
                    " up -- sh -c \"[ \\$ICF_INTERVAL != '" + c.hold +
                    "' ]\" 2>&-"
              : c.hold) +
        "; " + I + "create -s " + c.from + " -t " + c.now + " f " +
        std::to_string(c.period) + " 9 1; $T -a up -t " + c.now +
        " f -- true 2>err; echo $? $(awk 'NR > 3 { printf $3 }' f) $(grep -c "
        "^" +
        c.from.substr(0, 6) + " up); head -n 1 err");
    EXPECT_EQ(r.out, c.out) << c.from << " " << c.hold;
  }
}

// After the runner was SIGKILLed the note names the live process of its
// commands' groups that holds the lock: the command, or what the command
// left behind. A process given the runner's id since is not the runner.
TEST(Run, HolderOfTheLock) {
  const std::string run = "$T -t 240601001500 f -- ";
  auto row = [&](const std::string &command, const std::string &then) {
    return run + "sh -c 'echo $$ >leader; " + command +
           "' 2>&- & R=$!; until [ -s holder ]; do sleep .05; done; kill "
           "-KILL $R; wait $R; " +
           then + run +
           "true 2>note; echo $R $(cat holder); cat note; kill $(cat holder)";
  };
  const std::string ns = std::string("unshare ") + (geteuid() ? "-r " : "") +
                         "-p -f --mount-proc ";
  const bool no_ns = std::system((ns + "true 2>&-").c_str()) != 0;
  struct Case {
    std::string line, note;
  } cases[] = {
      {row("echo $$ >holder; exec sleep 30", ""),
       " by pid H, a command of runner R"},
      {row("sleep 30 & echo $! >holder; wait",
           "L=$(cat leader); kill $L; while grep -qs \"^State:.[^ZX]\" "
           "/proc/$L/status; do sleep .05; done; "),
       " by pid H, a command of runner R"},
      // The runner's id handed out again, to a process holding the lock; a
      // start is known to the hundredth of a second, so one passes first.
      {ns + "sh -c '" + run + "true 2>&- & R=$!; wait $R; sleep .1; " +
           "echo $((R-1)) " +
           ">/proc/sys/kernel/ns_last_pid; flock f.lock sh -c \"touch held; "
           "exec sleep 30\" & H=$!; until [ -e held ]; do sleep .05; done; " +
           run + "true 2>note; echo $R $H; cat note'",
       ", not by runner R"},
  };
  for (const Case &c : cases) {
    if (no_ns && c.line.starts_with("unshare")) {
      std::cout << "note: pid reuse untested (unshare not permitted)\n";
      continue;
    }
    Scratch s(Head + entry(A, 'n'));
    Ran r = s.run(c.line);
    std::smatch pids;
    ASSERT_TRUE(
        std::regex_search(r.out, pids, std::regex("^([0-9]+) ([0-9]+)\n")))
        << r.out;
    std::string note = std::regex_replace(c.note, std::regex("R"), pids.str(1));
    note = std::regex_replace(note, std::regex("H"), pids.str(2));
    if (c.note.starts_with(",")) {
      EXPECT_EQ(pids.str(1), pids.str(2)) << "the runner's id not reused";
    }
    EXPECT_EQ(r.out, pids.str(0) + "icftool: The lock on f is held" + note +
                         ", which is gone; leaving\n")
        << c.line;
  }
}

// Intervals pushed out of the ring unprocessed are said aloud: quenlor's
// line and status stay; the runner goes on and fails at the end.
TEST(Run, DroppedIntervals) {
  Scratch s;
  Ran r = s.run(
      "${T% run} create -t 240610000500 f 900 96 3; $Q -t 240610000500 f; $C f "
      "240609234500 "
      "s; $Q -t 240612000500 f; echo $?; $T -t 240613000500 f -- true 2>err; "
      "echo $?; grep -c \"done in\" err; grep dropped err");
  EXPECT_EQ(
      r.out,
      "240609234500\n240611000000\n0\n1\n96\nicftool: 96 intervals "
      "dropped unprocessed from the ring: 240611000000 to 240611234500\n");
  EXPECT_EQ(r.err,
            "quenlor: 96 intervals dropped unprocessed from the ring: "
            "240610000000 to 240610234500\n");
}

// A TZ that names no zone: the C library would take UTC without a word.
TEST(Run, MisspeltZone) {
  const std::string text = Head + entry(A, 'n');
  Scratch s(text);
  Ran r = s.run(
      "export TZ=America/New_Yrok; $T f -- true; echo $?; "
      "${T% run} check f; echo $?");
  const std::string why =
      "Unknown time zone: TZ=America/New_Yrok (no such zone file, and not a "
      "rule such as EST5EDT,M3.2.0,M11.1.0)\n";
  EXPECT_EQ(r.err, "icftool: " + why);
  // The keys, read as UTC, are the zone's to explain: no line of their own.
  EXPECT_EQ(r.out, "1\nf: " + why + "1\n");
  EXPECT_EQ(s.read(), text);
}

// Two runners in separate UTS and PID namespaces, as on two hosts that
// share the folder: they exclude each other, and the note names the host.
TEST(Run, OtherHost) {
  const std::string ns = std::string("unshare ") + (geteuid() ? "-r " : "") +
                         "-u -p -f --mount-proc ";
  if (std::system((ns + "true 2>&-").c_str()) != 0)
    GTEST_SKIP() << "no namespaces here (unshare not permitted)";
  Scratch s(Head + entry(A, 'n'));
  Ran r = s.run(ns +
                "sh -c 'hostname one; exec $T -t 240601001500 f -- sh -c "
                "\"touch started; sleep 1\"' 2>&- & until [ -e started ]; do "
                "sleep .05; done; " +
                ns +
                "sh -c 'hostname two; $T -t 240601001500 f -- true'; "
                "echo $?; wait");
  EXPECT_EQ(r.out, "0\n");
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("icftool: Another runner \\(host one, pid 1, since "
                        "[0-9:]{5}\\) is busy with f; leaving\n")))
      << r.err;
}

}  // namespace
