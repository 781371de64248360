#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "icf_internal.h"
#include "libicf.h"
#include "libstd.h"

namespace {

namespace fs = std::filesystem;
const std::string Header = "PERIOD=900\nENTRIES=4\nRETRIES=3\n";
const std::string L1 = "091026013000 4ae4fb98 s 091026014622 0000\n";
const std::string L2 = "091026014500 4ae4ff1c r 091026020731 0001\n";
const std::string L3 = "091026020000 4ae502a0 n 091026021503 0000\n";

class IcfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    char name[] = "/tmp/icf_test.XXXXXX";
    dir = mkdtemp(name);
    path = dir + "/ckpt";
    Icf_Knobs.lock_wait_ms = 30000;
  }
  void TearDown() override { fs::remove_all(dir); }
  void put(const std::string &text) { std::ofstream(path) << text; }
  std::string get() {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  int open(IcfFile *f) { return icf_open(f, "test", path.c_str()); }
  // How `text` opens read in chunks of `chunk` bytes: the result, why and
  // where it failed, and a line for each entry loaded.
  std::string outcome(const std::string &text, size_t chunk = 64 * 1024) {
    put(text);
    Icf_Knobs.read_chunk = chunk;
    const int ok = open(&file);
    Icf_Knobs.read_chunk = 64 * 1024;
    EXPECT_EQ(file.failure.fault != ICF_FAULT_NONE, !ok);
    std::ostringstream s;
    s << ok << ' ' << file.failure.fault << ' ' << file.failure.read_fault
      << ' ' << file.failure.line << ' ' << file.table.pending.count << '\n';
    for (int32_t k = 0; ok && k < icf_count(&file.table); ++k) {
      const IcfEntry &e = *icf_entry_at(&file.table, k);
      s << e.key << ' ' << e.time << ' ' << e.status << ' ' << e.stamp << ' '
        << e.retry_count << '\n';
    }
    icf_close(&file);
    return s.str();
  }
  std::string dir, path;
  IcfFile file = {};
};

// Read in chunks of any size, a text loads the same table or fails the same
// way at the same line as read in one piece; a cut file loads whole records.
TEST_F(IcfTest, ReadsWholeRecordsAndSaneHeadersOnly) {
  // Texts the reader takes or refuses, with the entries they load (-1: none).
  std::vector<std::pair<std::string, int>> texts = {
      {"PERIOD= 900ENTRIES=4 RETRIES=\n3\n \n\t", 0},
      {Header + "a\n1\nn\nb\n2 c 0xffffffff n d -2147483648 \n\t", 2},
      {"PERIOD=900\nENTRiES=4\nRETRIES=3\n", -1},
      {"PERIOD=900\nENTRIES=0\nRETRIES=3\n", -1},
      {"PERIOD=0\nENTRIES=4\nRETRIES=3\n", -1},
      {"PERIOD=2147483648\nENTRIES=4\nRETRIES=3\n", -1},
      {"PERIOD=18446744073709551617\nENTRIES=4\nRETRIES=3\n", -1},
      {Header + "a 10000000000000001 n b 2\n", -1},
      {Header + "a 1 n b 2147483648\n", -1},
      // Reserved space never written; a save cut short; too big a ring.
      {Header + L1 + std::string(9, '\0') + "\n", 1},
      {Header + L1 + std::string(1, '\0') + L2, -1},
      {"~" + Header.substr(1) + L1, -1},
      {"PERIOD=900\nENTRIES=1000001\nRETRIES=3\n", -1},
      {Header + std::string("ab\0 1 n b 2\n", 12), -1},  // not written back cut
      // Records and numbers across runs of white space and chunk boundaries.
      {Header + L1 + "\n\n" + L2.substr(0, 30) + "zz 0001\n" + L3, 3},
      {Header + L1 + "\n \n091026014500\n4ae4ff1c r\n091026020731\n\n12x\n",
       -1},
      {Header + "k" + std::string(50, ' ') + "0x1f n" + std::string(45, '\n') +
           "s 12 k " + std::string(50, '\n') + "0x n s 1",
       -1},
  };
  const std::string whole = Header + L1 + L2 + L3;
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    std::istringstream in(whole.substr(0, cut));
    std::vector<std::string> w{std::istream_iterator<std::string>(in), {}};
    bool ok = w.size() >= 3 && w[2] == "RETRIES=3" && w.size() % 5 == 3;
    texts.push_back({whole.substr(0, cut), ok ? int(w.size()) / 5 : -1});
  }
  for (const auto &[text, entries] : texts) {
    const std::string one = outcome(text);
    const int lines = int(std::count(one.begin(), one.end(), '\n'));
    EXPECT_EQ(one[0] == '1' ? lines - 1 : -1, entries) << text;
    for (size_t chunk : {1, 2, 7, 64})
      EXPECT_EQ(outcome(text, chunk), one) << chunk << ": " << text;
  }
}

// Padded hex, a winter `a` line converted before one in the repeated autumn
// hour (its time comes from its key and names the first pass), and 2039;
// through a symlink, which stays one.
TEST_F(IcfTest, CommitRewritesLibraryTextByteForByte) {
  const std::string text = Header +
                           "700101000100       3c s 700101000100 0000\n"
                           "240115000000 65a4bbd0 a 240116000000 0000\n"
                           "241103013000 67270a58 a 241103020000 0000\n"
                           "390601000000 829095c0 n 390601010000 0012\n";
  const std::string link = dir + "/link";
  fs::create_symlink(path, link);
  put(text);
  ASSERT_TRUE(icf_open(&file, "t", link.c_str()));
  EXPECT_EQ(file.table.entries[3].time, time_t{0x829095c0});
  EXPECT_EQ(file.table.pending.count, 3);  // `a` is pending again
  EXPECT_TRUE(icf_commit(&file));
  icf_close(&file);
  EXPECT_EQ(get(), text);
  EXPECT_TRUE(fs::is_symlink(link));
}

// A large file of lines of every width the writer produces (keys of 1 to 12
// characters, padded and full hex, retry counts of 1 to 11 characters),
// hard-linked so that it is rewritten in place, survives an open and a
// commit byte for byte; a text one byte shorter cuts the file's end.
TEST_F(IcfTest, LargeFileRewrittenInPlaceByteForByte) {
  const int32_t retries[] = {0, 7, 9999, 12345, -1, INT32_MAX, INT32_MIN};
  std::string text = "PERIOD=60\nENTRIES=100000\nRETRIES=3\n";
  char line[64];
  for (int32_t i = 0; i < 100000; ++i) {
    const std::string key = std::to_string(i * 7919LL).substr(0, i % 12 + 1);
    std::snprintf(line, sizeof line, "%s %8x %c %s %04d\n", key.c_str(),
                  static_cast<unsigned>(i) * (i % 3 ? 2654435761u : 3u),
                  "snrx?"[i % 5], "990101000000", retries[i % 7]);
    text += line;
  }
  put(text);
  fs::create_hard_link(path, dir + "/other-name");
  ASSERT_TRUE(open(&file));
  put(std::string(text.size(), '#'));  // every byte counts
  file.table.entries[3].retry_count = 0;
  EXPECT_TRUE(icf_commit(&file));
  icf_close(&file);
  EXPECT_TRUE(get() == text.replace(text.find("12345\n"), 6, "0000\n"));
}

// A run that cannot get the lock in time gives up as busy, also against the
// new file a commit made and against a reader, who cannot commit.
TEST_F(IcfTest, LockKeepsRunsApart) {
  put(Header);
  IcfFile other;
  ASSERT_TRUE(open(&file) && icf_commit(&file));
  Icf_Knobs.lock_wait_ms = 20;
  EXPECT_FALSE(open(&other));
  EXPECT_EQ(other.failure.fault, ICF_FAULT_BUSY);
  icf_close(&file);
  ASSERT_TRUE(icf_open_readonly(&other, "t", path.c_str()));
  EXPECT_FALSE(icf_commit(&other));
  EXPECT_FALSE(open(&file));  // nor write while it reads
  icf_close(&other);
}

// Every cut of a text gives the whole's value; a changed byte another.
TEST(IcfHash, BytesNotPieces) {
  std::string text(100, '\0');  // NUL bytes at its end
  for (size_t i = 0; i < 90; ++i) text[i] = char(i * 37);
  auto value = [](const std::string &t, size_t piece) {
    IcfHash h{};
    for (size_t at = 0; at < t.size(); at += piece)
      icf_hash_add(&h, t.data() + at, std::min(piece, t.size() - at));
    return icf_hash_value(&h);
  };
  for (size_t piece : {1, 7, 32, 33})
    EXPECT_EQ(value(text, piece), value(text, 100)) << piece;
  const uint64_t whole = value(text, 100);
  text[50] ^= 1;  // one byte changed in place, as another program's save
  EXPECT_NE(value(text, 8), whole);
}

// What a program sees of a table: its text, the pending queue, the cursor.
std::string seen(IcfFile *file) {
  size_t n;
  char *text = icf_text_render(&file->table, &n);
  std::string s(text, n);
  std_free(nullptr, text);
  for (QueueElement *e = queue_first(&file->table.pending); e != nullptr;
       e = queue_next(e))
    s += static_cast<IcfEntry *>(queue_data(e))->key + std::string(" ");
  return s + (file->table.cursor != nullptr ? "cursor" : "");
}

// The runner's turns: after each save the table taken up again is what a
// fresh open gives, through retries beyond RETRIES, an interval asked for
// again (a hand-edited key: it queues out of file order), another's save,
// another's rewrite in place of the same size within the same clock tick,
// and the ring's wrap; with the text kept between saves (icf_keep) too.
TEST_F(IcfTest, ReopenKeepsWhatAFreshOpenGives) {
  const std::string text =
      "PERIOD=900\nENTRIES=8\nRETRIES=1\n"
      "241103000000        1 s 241103000000 0000\n"
      "241103003000 6726fc48 s 241103004500 0000\n";
  for (bool keep : {false, true}) {
    time_t now = 0x6726fc48 + 900;  // one more interval due each turn
    put(text);
    IcfFile other;
    ASSERT_TRUE(open(&file));
    if (keep) icf_keep(&file);
    // A letter for the interval due, then: a, ask for the first again; h,
    // another program marks the next one due x; p, another program's
    // rewrite in place changes the last digit of the first entry's count.
    for (std::string t :
         {"r", "r", "sa", "rh", "s", "sp", "r", "s", "s", "s", "s", "s", "s"}) {
      if (IcfEntry *e = quenlor(&file, now += 900, 0)) corvane(&file, e, t[0]);
      if (t[1] == 'a') corvane(&file, icf_entry_at(&file.table, 0), 'a');
      ASSERT_TRUE(icf_commit(&file));
      size_t n;
      char *saved = icf_text_render(&file.table, &n);
      EXPECT_EQ(get(), std::string(saved, n)) << t << ' ' << keep;
      std_free(nullptr, saved);
      icf_release(&file);
      if (t[1] == 'p') {
        const std::string bytes = get();
        const size_t at = bytes.find('\n', text.find("2411")) - 1;
        const char *digit = bytes[at] == '0' ? "1" : "0";
        const int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_TRUE(fd >= 0 && pwrite(fd, digit, 1, off_t(at)) == 1);
        close(fd);
      }
      ASSERT_TRUE(open(&other));
      if (t[1] == 'h') corvane(&other, quenlor(&other, now, 0), 'x');
      ASSERT_TRUE(t[1] != 'h' || icf_commit(&other));
      const std::string fresh = seen(&other);
      icf_close(&other);
      EXPECT_EQ(icf_reopen(&file), t[1] == 'h' || t[1] == 'p' ? 2 : 1) << t;
      EXPECT_EQ(seen(&file), fresh) << t << ' ' << keep;
    }
    icf_close(&file);
  }
}

}  // namespace
