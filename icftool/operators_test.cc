// Runs icftool's commands for operators (metrics, check's limits, mark,
// edit) as a user would, with quenlor and corvane writing beside them.
#include <gtest/gtest.h>

#include <fstream>

#include "program_test.h"

namespace {

const int Env = setenv("T", ICFTOOL_BIN, 1) + setenv("C", CORVANE_BIN, 1);

// One line per file from the real parser of the format: the file, then
// healthy, the five counts, oldest pending, lag, due, last change, last
// done, newest, PERIOD, ENTRIES, RETRIES ("-": no sample). Each name must
// be one gauge family.
const std::string Parse = R"(/usr/bin/python3 -c '
import sys, prometheus_client.parser as p
rows, seen = {}, set()
for f in p.text_string_to_metric_families(sys.stdin.read()):
  assert f.type == "gauge" and f.documentation and f.name not in seen
  seen.add(f.name)
  for s in f.samples:
    assert s.timestamp is None
    rows.setdefault(s.labels["file"], {})[s.labels.get("status", s.name[4:])] = int(s.value)
for n, r in rows.items():
  print(n, *[r.get(c, "-") for c in "healthy new done retry again failed oldest_pending_start_seconds lag_seconds due_intervals last_change_seconds last_done_end_seconds newest_end_seconds period_seconds entries_max retries_max".split()])
')";

const std::string Latin1 =
    "cp f \"$(printf 'caf\\351')\" && cp f 'caf\\xe9' && $T metrics -t "
    "241103030000 \"$(printf 'caf\\351')\" 'caf\\xe9'";

TEST(Operators, MetricsAcrossClockChanges) {
  if (std::system("/usr/bin/python3 -c 'import prometheus_client' 2>&-"))
    GTEST_SKIP() << "python3-prometheus-client missing: metrics not parsed";
  const std::string spring =  // 01:00 EST done, 03:00 EDT to retry
      "PERIOD=3600\nENTRIES=4\nRETRIES=2\n" + entry("240310010000", 's') +
      entry("240310030000", 'r', 1);
  const struct {
    std::string text, now, row;
  } cases[] = {
      {Healthy, "241103030000",
       "1 1 1 1 0 0 1730612700 3600 5 1730621700 1730612700 1730618100 900 4 "
       "2"},
      {Healthy, "241103015000",
       "1 1 1 1 0 0 1730612700 0 0 1730621700 1730612700 1730618100 900 4 2"},
      {spring, "240310050000",
       "1 0 1 1 0 0 1710054000 3600 2 1704085200 1710054000 1710057600 3600 4 "
       "2"},
      // Nothing pending, but three quarters since 02:00 never appended.
      {edit(edit(Healthy, " r ", " s "), " n ", " x "), "241103030000",
       "1 0 2 0 0 1 - 1800 3 1730621700 1730617200 1730618100 900 4 2"},
  };
  for (const auto &[text, now, row] : cases) {
    Ran r = Scratch(text).run("$T metrics -t " + now + " f | " + Parse);
    EXPECT_EQ(r.out + r.err, "f " + row + "\n") << text;
  }
  // Unreadable files among healthy ones: health 0, nothing else, and the
  // command goes on; a file check faults keeps its numbers.
  Scratch s(Healthy);
  Ran r = s.run(
      "printf 'PERIOD=900\\nENTRIES=4\\nRETRIES=2\\n1 2' >torn && "
      "sed 's/ r / R /' f >'a\"b\\c' && $T metrics -t 241103030000 "
      "missing f torn 'a\"b\\c' 2>err | " +
      Parse + " && cat err");
  EXPECT_EQ(
      r.out,
      "missing 0 - - - - - - - - - - - - - -\n"
      "f 1 1 1 1 0 0 1730612700 3600 5 1730621700 1730612700 1730618100 900 4 "
      "2\n"
      "torn 0 - - - - - - - - - - - - - -\n"
      "a\"b\\\\c 0 1 1 0 0 0 1730612700 3600 5 1730621700 1730612700 "
      "1730618100 900 4 2\n"
      "icftool: Cannot open checkpoint file: missing: No such file or "
      "directory\nicftool: Invalid checkpoint file: torn\n")
      << r.err;
  // -o renames a whole file over the old one, readable by a collector
  // running as another user, and leaves nothing else behind.
  r = s.run(
      "umask 022 && mkdir d && echo old >d/m.prom && ls -i d/m.prom >before && "
      "$T metrics -o d/m.prom f && ls -i d/m.prom | cmp -s - before; "
      "echo $? && ls d && stat -c %a d/m.prom && " +
      Parse + " <d/m.prom | cut -c1-4");
  EXPECT_EQ(r.out + r.err, "1\nm.prom\n644\nf 1 \n");
  // The longest name: the temporary one beside it is cut to fit.
  r = s.run("$T metrics -o " + std::string(255, 'm') + " f && grep -c ^icf m*");
  EXPECT_EQ(r.out + r.err, "15\n");
  r = s.run("$T metrics -o nowhere/m.prom f 2>&1; echo $?");
  EXPECT_EQ(r.out + r.err,
            "icftool: Cannot write nowhere/m.prom: No such file or "
            "directory\n1\n");
  // A Latin-1 name and one that spells its escape: two valid labels, apart.
  r = s.run(Latin1 + " >m && " + Parse + " <m | cut -d' ' -f1,2");
  EXPECT_EQ(r.out + r.err, "caf\\xe9 1\ncaf\\\\xe9 1\n");
}

TEST(Operators, MetricsPassPromtool) {
  if (std::system("promtool --version >/dev/null 2>&1"))
    GTEST_SKIP() << "promtool missing (Debian's prometheus): lint not run";
  Ran r = Scratch(Healthy).run(Latin1 + " missing | promtool check metrics");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// At 03:00 EST the lag is 3600 s; one entry has failed. Breaches follow the
// findings; at 01:50 EDT nothing has ended yet.
TEST(Operators, CheckLimits) {
  const std::string file = edit(Healthy, " s ", " x ");
  const std::pair<std::string, std::string> cases[] = {
      {"-l 3600 -x 1 f", "0"},
      {"-l 3599 f", "f: lag 3600 s, more than 3599 s\n1"},
      {"-x 0 -l 0 -t 241103015000 f", "f: 1 entry failed, more than 0\n1"},
      {"-x 0 -l 0 -t 241103015000 g",
       "g:5: unknown status letter 'R'\ng: 1 entry failed, more than 0\n1"},
  };
  for (const auto &[args, out] : cases) {
    Ran r = Scratch(file).run(
        "sed 's/ r / R /' f >g; $T check -t 241103030000 " + args);
    EXPECT_EQ(r.out + std::to_string(r.status), out) << args;
  }
  // Timers that stopped after 01:45 was done: two days on, and after the
  // autumn change, where 02:00 EST ended at 02:15.
  const std::string stopped[][3] = {
      {"241026014500", "-l 7200 -t 241028021000",
       "f: lag 172500 s, more than 7200 s\n1"},
      {"241103014500", "-l 0 -t 241103021500", "0"},
      {"241103014500", "-l 899 -t 241103023000",
       "f: lag 900 s, more than 899 s\n1"},
  };
  for (const auto &[key, args, out] : stopped) {
    Ran r = Scratch("PERIOD=900\nENTRIES=4\nRETRIES=2\n" + entry(key, 's'))
                .run("$T check " + args + " f");
    EXPECT_EQ(r.out + std::to_string(r.status), out) << args;
  }
}

// Hourly u from 2 November, its 05:00 failing once; daily f and
// quarter-hour q after it, g a day older than u holds. Waiting on an
// upstream is named, only the older one is a finding.
TEST(Operators, WaitsForUpstreams) {
  const std::string setup =
      "$T create -s 2411020000 -t 241103060500 u 3600 99 3 && $T run -t "
      "241103060500 u -- sh -c 'test $ICF_INTERVAL != 241102050000' 2>/dev/null"
      "; for a in 'f 86400 -s 241102' 'g 86400 -s 241101' 'q 900 -s "
      "2411020500'; do set -- $a; $T create $3 $4 -t 241103060500 $1 $2 9 0; "
      "done; ";
  std::string many;
  for (int i = 0; i < 17; ++i) many += " -a u";
  const std::pair<std::string, std::string> cases[] = {
      {"show -a u -t 241103060500 f | tail -1",
       "waiting: 241102000000 for u 241102050000 (retry)\n0"},
      {"show -a u -t 241102050500 q | tail -1", "waiting: none\n0"},
      {"check -a u -t 241102060500 q",
       "q: 241102050000 to 241102054500 (4 intervals) wait for u "
       "241102050000 (retry)\n0"},
      {"check -a u -t 241104000500 f",
       "f: 241102000000 waits for u 241102050000 (retry)\nf: 241103000000 "
       "waits for u 241103060000 (not yet appended)\n0"},
      {"check -a u -t 241102000500 g",
       "g: 241101000000 waits for u 241101000000 (older than the file holds); "
       "only an operator can settle that (icftool mark)\n1"},
      {"show -j -a u -t 241103060500 f | jq -c '.waiting[0]|[.key, "
       ".upstreams[]]'",
       "[\"241102000000\",{\"file\":\"u\",\"key\":\"241102050000\",\"time\":"
       "1730538000,\"why\":\"retry\",\"letter\":\"r\"}]\n0"},
      {"show -j -a u -t 241102000500 f | jq -c .waiting", "[]\n0"},
      {"show -a missing f",
       "icftool: Cannot open checkpoint file: missing: No such file or "
       "directory\n1"},
      {"check -a ./f f", "icftool: Upstream ./f is the file f itself\n1"},
      {"show" + many + " f", "icftool: Too many -a options (16 at most)\n1"},
  };
  for (const auto &[args, out] : cases) {
    Ran r = Scratch().run(setup + "$T " + args + " 2>&1");
    EXPECT_EQ(r.out + std::to_string(r.status), out) << args;
  }
}

TEST(Operators, MarkRanges) {
  // A file from a zone without the clock change: both passes of the
  // repeated hour, under the same keys.
  const std::string file =
      "PERIOD=900\nENTRIES=8\nRETRIES=3\n" + entry("241103010000", 'n', 0, 1) +
      entry("241103013000", 'r', 1, 1) + entry("241103014500", 'x', 3, 1) +
      entry("241103013000", 's', 0, 0) + entry("241103014500", 'r', 2, 0) +
      entry("241103020000", 'n', 0, 0);
  const struct {
    std::string args, out, after;
  } cases[] = {
      {"f 2411030130 2411030200 a", "4 entries set to again\n0\n",
       "n0 a0 a0 a0 a0 n0"},
      {"-o r f 2411 2412 s", "2 entries set to done\n0\n", "n0 s1 x3 s0 s2 n0"},
      {"-n -o x f 2411030100 2411030300 a",
       "241103014500  2024-11-03 01:45:00 EDT  failed -> again\n"
       "1 entry would be set to again\n0\n",
       "n0 r1 x3 s0 r2 n0"},
      {"f 2412 2501 s", "icftool: No entries from 2412 to 2501: f\n1\n",
       "n0 r1 x3 s0 r2 n0"},
      {"-o a f 2411 2412 s",
       "icftool: No entries from 2411 to 2412 with status again: f\n1\n",
       "n0 r1 x3 s0 r2 n0"},
  };
  for (const auto &[args, out, after] : cases) {
    Scratch s(file);
    EXPECT_EQ(s.run("$T mark " + args + " 2>&1; echo $?").out, out) << args;
    EXPECT_EQ(s.run("awk 'NR>3{printf \"%s%d \", $3, $5}' f").out, after + " ")
        << args;
  }
}

// Runs of corvane on the first half while mark sets the second: every
// update arrives, whatever the order the lock gives them.
TEST(Operators, MarkAmongRuns) {
  std::string text = "PERIOD=900\nENTRIES=64\nRETRIES=3\n", line;
  for (int i = 0; i < 40; ++i) {  // quarter hours of 2 January 2024
    const std::string key = "2401020" + std::to_string(i / 4) +
                            std::to_string(i % 4 * 15 + 100).substr(1) + "00";
    text += entry(key, 'n');
    line += i < 20 ? "$C f " + key + " s & " : "";
  }
  line += "$T mark f 2401020500 2401021000 x & ";
  Scratch s(text);
  Ran r = s.run(line + "wait; awk 'NR>3{printf \"%s\", $3}' f");
  EXPECT_EQ(r.out, "20 entries set to failed\n" + std::string(20, 's') +
                       std::string(20, 'x'))
      << r.err;
}

TEST(Operators, Edit) {
  const std::string saved = edit(Healthy, "67271f70 n", "67271f70 a");
  const struct {
    std::string env, editor, out, file, copy;
  } cases[] = {
      // An a line takes its time from its key: the saved text is mended.
      {"VISUAL=./ed EDITOR=false", "sed -i 's/67271f70 n/00000000 a/' \"$1\"",
       "0\n", saved, ""},
      {"EDITOR=./ed", "true", "0\n", Healthy, ""},
      {"EDITOR=./ed", "sed -i 's/ r / R /' \"$1\"",
       "f:5: unknown status letter 'R'\nicftool: Not saved; the edited copy "
       "is kept: tmp/f.COPY\n1\n",
       Healthy, edit(Healthy, " r ", " R ")},
      {"EDITOR=./ed", "exit 3",
       "icftool: The editor failed; not saved; the copy is kept: "
       "tmp/f.COPY\n1\n",
       Healthy, Healthy},
      // A run while the editor runs: its update stays, the edit waits.
      {"EDITOR=./ed", "sed -i 's/ n / s /' \"$1\" && $C f 241103014500 s",
       "icftool: f changed during the edit; not saved; the edited copy is "
       "kept: tmp/f.COPY\n1\n",
       edit(Healthy, " r ", " s "), edit(Healthy, " n ", " s ")},
  };
  for (const auto &[env, editor, out, file, copy] : cases) {
    Scratch s(Healthy);
    std::ofstream(s.dir + "/ed") << "#!/bin/sh\n" << editor << "\n";
    Ran r = s.run("chmod +x ed && mkdir tmp && { TMPDIR=tmp " + env +
                  " $T edit f </dev/null; echo $?; } 2>&1 | "
                  "sed 's/f\\.[^.]*$/f.COPY/'");
    EXPECT_EQ(r.out, out) << editor;
    EXPECT_EQ(unstamped(s.read()), unstamped(file)) << editor;
    EXPECT_EQ(s.run("cat tmp/*").out, copy) << editor;
  }
  // A save cut short left '~' for the 'P': edit puts it back, as check asks.
  Scratch cut("~" + Healthy.substr(1));
  std::ofstream(cut.dir + "/ed") << "#!/bin/sh\nsed -i '1s/^~/P/' \"$1\"\n";
  Ran m = cut.run("chmod +x ed && EDITOR=./ed TMPDIR=. $T edit f 2>&1");
  EXPECT_EQ(std::to_string(m.status) + m.out + cut.read(), "0" + Healthy);
  // At a terminal (script(1) lends one) the user may edit again.
  Scratch s(Healthy);
  std::ofstream(s.dir + "/ed") << "#!/bin/sh\nif grep -q ' R ' \"$1\"; then "
                                  "sed -i 's/ R / s /' \"$1\"; else sed -i "
                                  "'s/ n / R /' \"$1\"; fi\n";
  Ran r = s.run(
      "chmod +x ed && echo e | EDITOR=./ed TMPDIR=. script -qec "
      "'$T edit f' /dev/null && ls");
  EXPECT_EQ(unstamped(s.read()), unstamped(edit(Healthy, " n ", " s ")));
  EXPECT_NE(r.out.find("Edit again (e) or abandon (a)?"), r.out.npos) << r.out;
}

}  // namespace
