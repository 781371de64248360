// Runs the built icftool, and quenlor and corvane to write real files.
#include <gtest/gtest.h>
#include <unistd.h>

#include "program_test.h"

namespace {

const int Env = setenv("T", ICFTOOL_BIN, 1) + setenv("Q", QUENLOR_BIN, 1) +
                setenv("C", CORVANE_BIN, 1);
TEST(IcfTool, CommandLineAndCreate) {
  Scratch s(Healthy);
  const std::pair<std::string, std::string> cases[] = {
      {"create -f f 2147483648 96 3",
       "Invalid period: 2147483648 (seconds, 1 or more)\n"},
      {"create -f f 900 0 3", "Invalid entries: 0 (1 to 1000000)\n"},
      {"create -f f 900 96 -1", "Invalid retries: -1 (0 or more)\n"},
      {"create f 900 96 3", "File exists: f (-f replaces it)\n"},
      {"mark f 2411 2412 r", "Invalid status: r (s, a or x)\n"},
      {"mark f 2411 2413 s", "Invalid interval key: 2413\n"},
      {"mark f 2403100230 2412 s", "Invalid interval key: 2403100230\n"},
      // One wording for each kind of bad option value, in every command.
      {"metrics -t 24130 f", "Invalid option value for -t: 24130\n"},
      {"show -t 240631 f", "Invalid option value for -t: 240631\n"},
      {"check -t zz f", "Invalid option value for -t: zz\n"},
      {"run -t 240310023000 f -- true",
       "Invalid option value for -t: 240310023000\n"},
      {"run -t zz f -- true", "Invalid option value for -t: zz\n"},
      {"check -l -1 f", "Invalid option value for -l: -1\n"},
      {"run -x 256 f -- true", "Invalid option value for -x: 256\n"},
      {"run -j 0 f -- true", "Invalid option value for -j: 0\n"},
      {"mark -o q f 2411 2412 s", "Invalid option value for -o: q\n"},
      {"run -d 1,x f -- true", "Invalid option value for -d: x\n"},
      {"run -x 75 -N 75 f -- true", "Exit status 75 given to both -x and -N\n"},
      {"run -D 0 f -- true", "Invalid option value for -D: 0\n"},
      {"run -q f -- true", "Invalid command-line option \"q\"\n"},
      {"create -j f 900 96 3", "Invalid command-line option \"j\"\n"},
      {"metrics -o", "Invalid command-line option \"o\"\n"},
      // A missing operand names the command's help.
      {"run f --",
       "Missing or extra arguments on command line (see icftool run -h)\n"},
      {"run x.icf",
       "Missing or extra arguments on command line (see icftool run -h)\n"},
      {"edit",
       "Missing or extra arguments on command line (see icftool edit -h)\n"},
  };
  for (const auto &[args, err] : cases)  // the status last
    EXPECT_EQ(s.run("$T " + args + " 2>&1; echo $?").out,
              "icftool: " + err + "1\n");
  // Refused before the file is touched: no interval of the clock's run.
  EXPECT_EQ(s.read(), Healthy);
  EXPECT_EQ(s.run("$T run -t 241103020000 f -- ./missing 2>&1").out,
            "icftool: 2 intervals due, 241103014500 to 241103020000\n"
            "icftool: Cannot run ./missing: No such file or directory\n");
  // Every command names the same cause for a file it cannot read.
  const std::pair<std::string, std::string> unreadable[] = {
      {"p", "Invalid checkpoint file: p: not a regular file\n"},
      {"d", "Invalid checkpoint file: d: not a regular file\n"},
      {"g", "Cannot open checkpoint file: g: No such file or directory\n"},
  };
  s.run("mkfifo p && mkdir d");
  for (const auto &[file, err] : unreadable)
    for (std::string line : {"show @", "check @", "metrics @", "edit @",
                             "mark @ 2411 2412 s", "run @ -- true"})
      EXPECT_EQ(s.run("$T " + line.replace(line.find('@'), 1, file) +
                      " 2>&1 >/dev/null")
                    .out,
                "icftool: " + err)
          << line;
  // A -d message whole and with its newline, however long the name.
  const std::string name(100, 'n'), delays(64, '1');
  EXPECT_EQ(s.run("ln -s $T " + name + " && ./" + name + " run -d " + delays +
                  " f -- true 2>&1")
                .out,
            name + ": Delay string should be less than 64\n");
  // Usage on standard error; on request with status 0, other options
  // ignored.
  const std::pair<std::string, std::string> usages[] = {
      {"$T frob", "icftool: Unknown command: frob\n1\n"},
      {"$T",
       "usage: icftool create [-f] [-s start] [-t now] file period entries "
       "retries\n1\n"},
      {"$T -h",
       "usage: icftool create [-f] [-s start] [-t now] file period entries "
       "retries\n0\n"},
      {"$Q -p -h -x", "Usage: quenlor -[options] <filename>\n0\n"},
      {"$C -n -h -s",
       "Usage: corvane -[options] <filename> <interval> <status>\n0\n"},
  };
  for (const auto &[line, text] : usages)
    EXPECT_EQ(
        s.run("{ " + line + " 2>&1 >/dev/null; echo $?; } | sed -n '1p;$p'")
            .out,
        text);
  // On request on standard output: the usage, the version, and a command's
  // usage with every option it takes.
  EXPECT_EQ(s.run("$T --help | grep -c '^ *icftool [a-z]* '; $T --version | "
                  "grep -c '^icftool [0-9]'; $T run -h | grep -c '^  -'; "
                  "$T mark -h | sed 1q; echo $?")
                .out,
            "7\n1\n14\nusage: icftool mark [-n] [-o status] file from to "
            "status\n0\n");
  EXPECT_EQ(s.read(), Healthy);
  Ran r = s.run(
      "$T create -t 241103020030 g 900 96 3 && "
      "$T create -f -t 241103020030 f 60 1 0 && $T show -j f | jq -e "
      "'.oldest_pending.key == \"241103015900\" and .header.PERIOD == 60'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(unstamped(s.read("g")),
            unstamped("PERIOD=900\nENTRIES=96\nRETRIES=3\n" +
                      entry("241103014500", 'n', 0, 1)));
}

// A new file starts with the interval that ended last at -t, on the grid
// the scheduler then walks: create at the later time names an interval
// that the scheduler appended meanwhile. -s starts the books earlier.
TEST(IcfTool, CreateOnTheGrid) {
  // Then `later`: quenlor's run on the file; with "+", the keys it holds.
  struct Case {
    const char *zone, *options, *period, *later, *out;
  };
  const Case cases[] = {
      {"", "-t 241103000030", "60", "241103010030", "241102235900\n1\n"},
      // The interval before the repeated hour ends after it.
      {"", "-t 241103020030", "900", "241103021630", "241103014500\n1\n"},
      {"", "-t 240310030030", "900", "240310041630", "240310014500\n1\n"},
      {"", "-t 241103020030", "3600", "241103050000", "241103010000\n1\n"},
      {"", "-t 240310030030", "3600", "240310050000", "240310010000\n1\n"},
      {"", "-t 241103000030", "7200", "241103090000", "241102220000\n1\n"},
      {"", "-t 240310030030", "7200", "240310090000", "240310000000\n1\n"},
      {"", "-t 241105000030", "5400", "241105040030", "241104223000\n1\n"},
      {"", "-t 241103000030", "86400", "241106000030", "241102000000\n1\n"},
      {"America/New_York", "-t 240310000030", "86400", "240312000030",
       "240309000000\n1\n"},
      {"Australia/Lord_Howe", "-t 241006030030", "3600", "241006060000",
       "241006010000\n1\n"},
      // Backfills across the clock changes: the first run appends the rest.
      {"", "-t 241103050030 -s 241103", "3600", "+241103050030",
       "241103000000\n241103000000 241103010000 241103020000 241103030000 "
       "241103040000\n"},
      {"America/New_York", "-t 240312000030 -s 2403090000", "86400",
       "+240312000030",
       "240309000000\n240309000000 240310000000 "
       "240311000000\n"},
      {"", "-t 241103020030 -s 241103013000", "900", "+241103020030",
       "241103013000\n241103013000 241103014500\n"},
      {"", "-t 241103020030 -s 241103010000", "3600", "", "241103010000\n"},
      {"", "-t 241103020030 -s 241103003000", "3600", "",
       "icftool: Not an interval start for period 3600: 241103003000\n"},
      {"", "-t 241103020030 -s 241103011000", "900", "",
       "icftool: Not an interval start for period 900: 241103011000\n"},
      {"", "-t 241103020030 -s 241103010000", "5400", "",
       "icftool: Not an interval start for period 5400: 241103010000\n"},
      {"", "-t 241103020030 -s 241103020000", "3600", "",
       "icftool: Interval 241103020000 has not ended yet (the last that has: "
       "241103010000)\n"},
      {"", "-t 241103020030 -s 240310023000", "3600", "",
       "icftool: Invalid option value for -s: 240310023000\n"},
      {"", "-t 2411030200300", "3600", "",
       "icftool: Invalid option value for -t: 2411030200300\n"},
  };
  for (const Case &c : cases) {
    const std::string zone = c.zone, period = c.period;
    if (!zone.empty() && access(("/usr/share/zoneinfo/" + zone).c_str(), F_OK))
      GTEST_SKIP() << "no zone file for " << zone;
    std::string line = (zone.empty() ? "" : "export TZ=" + zone + "; ") +
                       "$T create " + c.options + " f " + period +
                       " 96 3 2>&1 || { test -e f && echo created; exit; }; "
                       "sed -n 4p f | cut -c1-12";
    const std::string later = c.later + (*c.later == '+');
    if (*c.later == '+')
      line += "; $Q -t " + later +
              " f >/dev/null; tail -n +4 f | cut -c1-12 | "
              "xargs";
    else if (*c.later)
      line += "; $Q -t " + later + " f >/dev/null; $T create -t " + later +
              " g " + period +
              " 9 0 && grep -c \"^$(sed -n 4p g | cut -c1-12) "
              "\" f";
    Ran r = Scratch().run(line);
    EXPECT_EQ(r.out + r.err, c.out) << c.options << " " << period;
  }
  // Intervals a backfill pushes out of a small ring are said aloud.
  Ran r = Scratch().run(
      "$T create -t 240610000500 -s 2406090000 f 900 4 3 && "
      "$Q -t 240610000500 f");
  EXPECT_EQ(r.out + r.err,
            "240609230000\nquenlor: 92 intervals dropped unprocessed from the "
            "ring: 240609000000 to 240609224500\n");
}

// Every status, a byte that is not UTF-8, a control byte and a quote, from a
// read-only file; and a reader waits while a run holds the file.
TEST(IcfTool, Show) {
  const std::string file =
      "PERIOD=900\nENTRIES=8\nRETRIES=2\n"
      "241103013000 67270a58 s 241103015007 0000\n"
      "241103014500 67270ddc r 241103030211 0001\n"
      "241103020000 67271f70 x 241103031500 0003\n"
      "241103021500 00000000 a 241103031600 0000\n"
      "241103023000 67272678 n 241103031700 0000\n"
      "241103024500 672729fc \" 24110303\xc3\xa9\xff\x01 0000\n";
  Scratch s(file);
  Ran r = s.run("chmod 444 f && $T show -t 241103030000 f");
  EXPECT_EQ(
      r.out,
      "241103013000  2024-11-03 01:30:00 EDT  done       0  241103015007\n"
      "241103014500  2024-11-03 01:45:00 EDT  retry      1  241103030211\n"
      "241103020000  2024-11-03 02:00:00 EST  failed     3  241103031500\n"
      "241103021500  2024-11-03 02:15:00 EST  again      0  241103031600\n"
      "241103023000  2024-11-03 02:30:00 EST  new        0  241103031700\n"
      "241103024500  2024-11-03 02:45:00 EST  unknown '\"'    0  "
      "24110303\xc3\xa9\xff\x01\n"
      "PERIOD=900 ENTRIES=8 RETRIES=2\n"
      "6 entries: 1 new, 1 done, 1 retry, 1 again, 1 failed, 1 unknown\n"
      "oldest pending: 241103014500  2024-11-03 01:45:00 EDT\n"
      "due: 4 intervals, lag 3600 s\n"
      "last change: 2024-11-03 03:17:00 EST\n")
      << r.err;
  // Byte 0xff of a name is no U+00FF, which would name another file.
  r = s.run(
      "cp f \"$(printf '\\377')\" && $T show -j -t 241103030000 "
      "\"$(printf '\\377')\" | jq -c '[.entries[5][], "
      ".oldest_pending.start, .due_intervals, .lag, .last_change, .file]'");
  EXPECT_EQ(
      r.out,
      "[\"241103024500\",1730619900,\"2024-11-03 02:45:00 EST\",\"unknown "
      "'\\\"'\",\"\\\"\",0,\"24110303\xc3\xa9\xc3\xbf\\u0001\",\"2024-11-03 "
      "01:45:00 EDT\",4,3600,1730621820,\"\\\\xff\"]\n")
      << r.err;
  EXPECT_EQ(s.read(), file);
  // More lines than ENTRIES: every line is listed as read, the figures are
  // the table's, the newest two.
  r = Scratch(edit(Healthy, "ENTRIES=4", "ENTRIES=2"))
          .run("$T show -t 241103030000 f | sed -n '3p;5,6p'");
  EXPECT_EQ(r.out + r.err,
            "241103020000  2024-11-03 02:00:00 EST  new        0  "
            "241103031500\n2 entries: 1 new, 0 done, 1 retry, 0 again, 0 "
            "failed\noldest pending: 241103014500  2024-11-03 01:45:00 EDT\n");
  // A run appends a partial record before it lets the reader in: the
  // entries before it are printed as they are read, then the failure.
  r = Scratch(Healthy).run(
      "{ flock 9; $T show f 9<&- & sleep .2; echo x >>f; } 9<f; wait $!");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.size(), 3 * 66u) << r.out;
  EXPECT_EQ(r.err, "icftool: Invalid checkpoint file: f\n");
  // Read as it is printed, but a pager that stops reading holds up no
  // run: the update goes through while show waits, and show prints the
  // file as it was, the same as to a file.
  r = Scratch().run(
      "$T create -t 240101000000 g 900 4000 2 && $Q -t 240130000000 g && "
      "$T show -t 240130000000 g >a && { $T show -t 240130000000 g; echo $?; "
      "} | { sleep 1; $Q -t 240131000000 g; cat >b; } && sed -i '$d' b && "
      "cmp a b && wc -l <a");
  EXPECT_EQ(r.out, "231231234500\n231231234500\n2790\n") << r.err;
}

// Each finding's line and its first words; the status first.
TEST(IcfTool, CheckFindsEachProblem) {
  const std::string h = Healthy;
  const std::pair<std::string, std::string> cases[] = {
      {edit(h, "PERIOD=900", "PERIOD=0"), ":1: PERIOD=0 is below 1"},
      {edit(h, "ENTRIES=4", "ENTRIES 4"),
       ":2: the header is not the three lines P"},
      {edit(h, "ENTRIES=4", "ENTRIES=1000001"),
       ":2: ENTRIES=1000001 is above 1000000, t"},
      {edit(h, "P", "~"), ":1: an update was cut short while it re"},
      {edit(h, "ENTRIES=4", "ENTRIES=2"),
       ": 3 entry lines, more than ENTRIES=2: t"},
      {edit(h, "241103014500 67270ddc", "241103020000 67271f70"),
       ":6: entry 241103020000 is not later tha"},
      {edit(h, "67271f70", "67271f71"),
       ":6: key 241103020000 does not name its "},
      {edit(h, "r 2411", "R 2411"), ":5: unknown status letter 'R'"},
      {edit(h, "241103014500", std::string("24110301450\0", 12)),
       ":5: cannot read the record: a key or st"},
      {edit(h, "241103020000 67271f70 n", "241103026000 0 a"),
       ":6: key 241103026000 does not name a va"},
      {edit(h, "0001", "0004"), ":5: retry count 4 is above RETRIES + 1 "},
      {edit(h, "500 0000\n", "500\n"),
       ":6: partial record: 4 of 5 fields; the "},
      // Healthy: split records, no last newline, both passes of the repeated
      // hour under one key, the time of an `a` line, retries counted on
      // after failing, the epoch.
      {edit(h, "67270ddc r", "67270ddc\n\n r"), ""},
      {"PERIOD=900\nENTRIES=4\nRETRIES=2", ""},
      {edit(h, "241103014500 67270ddc r", "241103013000 67271868 r"), ""},
      {edit(h, "67271f70 n", "00000000 a"), ""},
      {edit(h, "s 241103015007 0000", "x 241103015007 0007"), ""},
      {"PERIOD=900\nENTRIES=4\nRETRIES=2\n691231190000 0 s 240101000000 0\n",
       ""},
  };
  for (const auto &[file, report] : cases)
    EXPECT_EQ(
        Scratch(file).run("$T check f >o 2>&1; echo $?; cut -c1-40 o").out,
        report.empty() ? "0\n" : "1\nf" + report + "\n")
        << file;
}

// Keys written under one zone and read under another are one finding,
// not a line each; after a misspelt zone the zone's finding says it all.
TEST(IcfTool, KeysOfAnotherZone) {
  const std::string unknown =
      "f: Unknown time zone: TZ=America/New_Yrok (no such zone file, and not "
      "a rule such as EST5EDT,M3.2.0,M11.1.0)\n";
  const std::string shift = ": written under another TZ?\n";
  const std::pair<std::string, std::string> cases[] = {
      {"TZ=UTC $T check f", "f: keys are 4 h to 5 h from their times" + shift},
      {"TZ=IST-5:30 $T check f",
       "f: keys are 9 h 30 min to 10 h 30 min from their times" + shift},
      {"TZ=America/New_Yrok $T check f", unknown},
      {"$T check f", ""},
      // Keys moved both ways are no zone's doing.
      {"sed -i 's/^241103013000/241103023000/;s/^241103020000/241103010000/' "
       "f && $T check f",
       "f:4: key 241103023000 does not name its time 67270a58 (241103013000)\n"
       "f:6: key 241103010000 does not name its time 67271f70 "
       "(241103020000)\n"},
      // metrics count the finding once, in the health.
      {"TZ=UTC $T metrics -t 241103030000 f | grep healthy{",
       "icf_healthy{file=\"f\"} 0\n"},
      // Keys of UTC read as UTC under a misspelt zone: the zone's finding.
      {"TZ=UTC $T create -t 241103024500 g 900 4 2 && TZ=UTC $Q -t "
       "241103030000 g && "
       "TZ=America/New_Yrok $T metrics g 2>&1 | grep -c 'zone\\|healthy{.* 0'",
       "241103023000\n2\n"},
  };
  for (const auto &[line, out] : cases) {
    Ran r = Scratch(Healthy).run(line + "; echo $?");
    const bool check = line.find("check") != std::string::npos;
    EXPECT_EQ(r.out + r.err, out + (check && !out.empty() ? "1\n" : "0\n"))
        << line;
  }
}

// The same with the real zone, where its file is installed.
TEST(IcfTool, KeysOfAnotherRealZone) {
  if (access("/usr/share/zoneinfo/America/New_York", R_OK) != 0)
    GTEST_SKIP() << "no zone file for America/New_York (tzdata): not run";
  Ran r = Scratch().run(
      "export TZ=America/New_York; $T create -t 240115121500 f 900 96 3 && $Q "
      "-t 240115121500 "
      "f && $Q -t 240115123000 f && $T check f && TZ=UTC $T check f; echo $?; "
      "TZ=America/New_Yrok $T check f; echo $?");
  EXPECT_EQ(r.out,
            "240115120000\n240115120000\nf: keys are 5 h from their times: "
            "written under another TZ?\n1\nf: Unknown time zone: "
            "TZ=America/New_Yrok (no such zone file, and not a rule such as "
            "EST5EDT,M3.2.0,M11.1.0)\n1\n")
      << r.err;
}

}  // namespace
