#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "libicf.h"

namespace {

const std::string Header = "PERIOD=900\nENTRIES=4\nRETRIES=3\n";
const std::string L1 = "091026013000 4ae4fb98 s 091026014622 0000\n";
const std::string L2 = "091026014500 4ae4ff1c r 091026020731 0001\n";
const std::string L3 = "091026020000 4ae502a0 n 091026021503 0000\n";

time_t T(const char *key) {
  time_t t;
  icf_cnv_time(key, &t);
  return t;
}

int count(const IcfFile &f) {
  const IcfTable &t = f.table;
  return t.last < 0 ? 0 : (t.last - t.first + t.capacity) % t.capacity + 1;
}

template <class F>
int in_child(F body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class IcfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    char name[] = "/tmp/icf_test.XXXXXX";
    dir = mkdtemp(name);
    path = dir + "/ckpt";
    Lock_Wait_Ms = 30000;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  void put(const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  std::string get() {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  int open() { return icf_open(&file, "test", path.c_str()); }
  std::string dir, path;
  IcfFile file = {};
};

TEST_F(IcfTest, ReadsWholeRecordsAndSaneHeadersOnly) {
  const struct {
    std::string text;
    int entries;  // -1: the open fails
  } cases[] = {
      {Header, 0},
      {Header + "\n \n\t", 0},
      {"PERIOD=900\nENTRIES=4\nRETRIES=3", 0},
      {"PERIOD= 900ENTRIES=4 RETRIES=\n3", 0},
      {Header + "a 1 n b 2", 1},
      {Header + "a\n1\nn\nb\n2 c 3 n d 4\n", 2},
      {Header + "a 0xffffffff n b -2147483648\n", 1},
      {Header + "a 1 n b 2\nc 3 n d\n", -1},
      {" " + Header, -1},
      {"PERIOD=900\nENTRiES=4\nRETRIES=3\n", -1},
      {"PERIOD=900\nRETRIES=3\n", -1},
      {"PERIOD=900\nENTRIES=0\nRETRIES=3\n", -1},
      {"PERIOD=0\nENTRIES=4\nRETRIES=3\n", -1},
      {"PERIOD=2147483648\nENTRIES=4\nRETRIES=3\n", -1},
      {"PERIOD=900\nENTRIES=4\nRETRIES=-2147483649\n", -1},
      {Header + "a 100000000 n b 2\n", -1},
      {Header + "a 1 n b 2147483648\n", -1},
  };
  for (const auto &c : cases) {
    put(c.text);
    ASSERT_EQ(open(), c.entries >= 0) << c.text;
    if (c.entries < 0) {
      EXPECT_EQ(file.error, ICF_ERR_INVALID);
      continue;
    }
    EXPECT_EQ(count(file), c.entries) << c.text;
    if (c.text.find("0xf") != std::string::npos) {
      EXPECT_EQ(file.table.entries[0].time, time_t{0xffffffff});
    }
    icf_close(&file);
  }
}

TEST_F(IcfTest, TruncatedFileOpensOnlyWithWholeRecords) {
  const std::string text = Header + L1 + L2 + L3;
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    std::istringstream in(text.substr(0, cut));
    std::vector<std::string> w{std::istream_iterator<std::string>(in), {}};
    bool whole =
        w.size() >= 3 && w[2] == "RETRIES=3" && (w.size() - 3) % 5 == 0;
    put(text.substr(0, cut));
    ASSERT_EQ(open(), whole) << cut;
    if (!whole) continue;
    EXPECT_EQ(count(file), static_cast<int>(w.size() - 3) / 5);
    icf_close(&file);
  }
}

TEST_F(IcfTest, CommitRewritesLibraryTextByteForByte) {
  // Padded hex, a winter `a` line converted before one on the first pass of
  // the repeated autumn hour, and a time past 2038.
  const std::string text = Header +
                           "700101000100       3c s 700101000100 0000\n"
                           "240115000000 65a4bbd0 a 240116000000 0000\n"
                           "241103013000 67270a58 a 241103020000 0000\n"
                           "390601000000 829095c0 n 390601010000 0012\n";
  std::string wrong = text;
  wrong.replace(wrong.find("67270a58"), 8, "00000000");
  for (const std::string &input : {text, wrong}) {
    put(input);
    ASSERT_TRUE(open());
    EXPECT_EQ(file.table.entries[3].time, time_t{0x829095c0});
    EXPECT_TRUE(icf_commit(&file));
    icf_close(&file);
    EXPECT_EQ(get(), text);
  }
}

TEST_F(IcfTest, CommitCutsSurplusLinesThroughSymlink) {
  const std::string link = dir + "/link";
  put("PERIOD=900\nENTRIES=2\nRETRIES=3\n" + L1 + L2 + L3);
  std::filesystem::create_symlink(path, link);
  ASSERT_TRUE(icf_open(&file, "t", link.c_str()));
  EXPECT_TRUE(icf_commit(&file));
  EXPECT_TRUE(icf_commit(&file));
  icf_close(&file);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(get(), "PERIOD=900\nENTRIES=2\nRETRIES=3\n" + L2 + L3);
}

TEST_F(IcfTest, CommitStoresAllOrNothing) {
  const std::string old = "PERIOD=900\nENTRIES=2\nRETRIES=3\n" + L1 + L2 + L3;
  const std::string L4 = "091026021500 4ae50624 n 091026021500 0000\n";
  for (bool in_place : {false, true}) {
    for (bool limited : {false, true}) {
      put(old);
      chmod(dir.c_str(), 0755);
      chown(path.c_str(), 65534, 65534);
      chmod(path.c_str(), 0640);
      int result = in_child([&] {
        // As another user the directory is not writable: rewrite in place.
        if (in_place && (setgid(65534) != 0 || setuid(65534) != 0)) return 2;
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {64, 64};
        if (limited) setrlimit(RLIMIT_FSIZE, &limit);
        if (!open()) return 3;
        icf_entry_new(&file.table, 0x4ae50624, "091026021500", "091026021500",
                      'n', 0);
        return icf_commit(&file);
      });
      if (result == 2) GTEST_SKIP() << "cannot change user";
      EXPECT_EQ(result, limited ? 0 : 1) << in_place << limited;
      EXPECT_EQ(get(),
                limited ? old : "PERIOD=900\nENTRIES=2\nRETRIES=3\n" + L3 + L4);
      struct stat st;
      stat(path.c_str(), &st);
      EXPECT_EQ(st.st_mode & 0777, 0640u);
      EXPECT_EQ(st.st_uid, 65534u);
      auto files = std::filesystem::directory_iterator(dir);
      EXPECT_EQ(std::distance(begin(files), end(files)), 1);
    }
  }
}

TEST_F(IcfTest, ConcurrentRunsLoseNoUpdate) {
  put("PERIOD=900\nENTRIES=4\nRETRIES=1000\n" + L3 + L3);
  pid_t child = fork();
  for (int i = 0; i < 30; ++i) {
    IcfFile f;
    if (!icf_open(&f, "t", path.c_str())) break;
    corvane(&f, &f.table.entries[child == 0 ? 0 : 1], 'r');
    icf_commit(&f);
    icf_close(&f);
  }
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(open());
  EXPECT_EQ(file.table.entries[0].retry_count, 30);
  EXPECT_EQ(file.table.entries[1].retry_count, 30);
  icf_close(&file);
}

TEST_F(IcfTest, LockKeepsRunsApart) {
  put(Header);
  IcfFile other, reader;
  ASSERT_TRUE(open());
  Lock_Wait_Ms = 20;
  EXPECT_FALSE(icf_open(&other, "t", path.c_str()));
  EXPECT_EQ(other.error, ICF_ERR_BUSY);
  EXPECT_FALSE(icf_open_readonly(&other, "t", path.c_str()));
  EXPECT_EQ(other.error, ICF_ERR_BUSY);
  icf_close(&file);
  ASSERT_TRUE(icf_open_readonly(&other, "t", path.c_str()));
  ASSERT_TRUE(icf_open_readonly(&reader, "t", path.c_str()));
  EXPECT_FALSE(icf_commit(&reader));
  EXPECT_FALSE(open());
  EXPECT_EQ(file.error, ICF_ERR_BUSY);
  icf_close(&other);
  icf_close(&reader);
  EXPECT_FALSE(icf_open(&file, "t", (dir + "/missing").c_str()));
  EXPECT_EQ(file.error, ICF_ERR_INVALID);
  EXPECT_TRUE(icf_create(path.c_str(), 60, 10, 2));
  EXPECT_EQ(get(), "PERIOD=60\nENTRIES=10\nRETRIES=2\n");
}

TEST_F(IcfTest, RepeatedHourKeyNamesFirstPassWhateverRanBefore) {
  for (const char *before : {"240115000000", "240715000000", "240115000000"}) {
    T(before);
    EXPECT_EQ(T("241103013000"), time_t{0x67270a58}) << before;
  }
}

TEST_F(IcfTest, RingDropsOldestAndMovesCursor) {
  IcfEntry slots[3] = {};
  file.table = {900, 3, 3, -1, -1, slots, {}, nullptr};
  queue_create(&file.table.pending, &file.table, nullptr);
  for (time_t t = 1; t <= 4; ++t) {
    if (t == 4) {  // pending now 2, 3, 1 with the cursor on 1
      corvane(&file, icf_find(&file, 1), 's');
      corvane(&file, icf_find(&file, 1), 'a');
      file.table.cursor = icf_find(&file, 1);
    }
    IcfEntry *e = icf_entry_new(&file.table, t, "0123456789abc", "s", 'n', 0);
    queue_insert(&file.table.pending, &e->link);
  }
  EXPECT_EQ(file.table.first, 1);
  EXPECT_EQ(file.table.last, 0);
  EXPECT_STREQ(slots[0].key, "0123456789ab");
  EXPECT_EQ(icf_find(&file, 1), nullptr);
  for (time_t t : {2, 3, 4}) EXPECT_EQ(icf_find(&file, t)->time, t);
  EXPECT_EQ(file.table.cursor, icf_find(&file, 3));
  for (time_t t : {4, 0, 2, 3})
    EXPECT_EQ(quenlor(&file, 5, 0), t ? icf_find(&file, t) : nullptr);
}

TEST_F(IcfTest, CorvaneCountsRetriesAndKeepsQueue) {
  const struct {
    int from, count, retries, to, letter, count_after;
  } cases[] = {
      {'n', 2, 3, 'r', 'r', 3}, {'r', 3, 3, 'r', 'x', 4},
      {'n', 0, 0, 'r', 'x', 1}, {'x', 4, 3, 'r', 'x', 5},
      {'x', 0, 3, 'r', 'r', 1}, {'s', 5, 3, 'a', 'a', 0},
      {'r', 2, 3, 's', 's', 2}, {'r', 2147483647, 3, 'r', 'x', 2147483647},
  };
  for (const auto &c : cases) {
    IcfEntry slots[2] = {};
    file.table = {900, c.retries, 2, -1, -1, slots, {}, nullptr};
    queue_create(&file.table.pending, &file.table, nullptr);
    IcfEntry *a = icf_entry_new(&file.table, 1, "a", "s", 'n', 0);
    IcfEntry *b = icf_entry_new(&file.table, 2, "b", "s", c.from, c.count);
    bool was_pending = c.from != 's' && c.from != 'x';
    if (was_pending) queue_insert(&file.table.pending, &b->link);
    queue_insert(&file.table.pending, &a->link);
    file.table.cursor = was_pending ? b : nullptr;
    corvane(&file, b, c.to);
    EXPECT_EQ(b->status, c.letter);
    EXPECT_EQ(b->retry_count, c.count_after);
    EXPECT_EQ(strlen(b->stamp), 12u);
    bool pending = c.letter != 's' && c.letter != 'x';
    EXPECT_EQ(b->link.queue != nullptr, pending);
    // A pending entry keeps its place; one that comes back goes last.
    EXPECT_EQ(queue_data(queue_first(&file.table.pending)),
              pending && was_pending ? b : a);
    EXPECT_EQ(file.table.cursor, pending && was_pending ? b : nullptr);
  }
}

}  // namespace
