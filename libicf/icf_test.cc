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

namespace {

namespace fs = std::filesystem;
const std::string Header = "PERIOD=900\nENTRIES=4\nRETRIES=3\n";
const std::string L1 = "091026013000 4ae4fb98 s 091026014622 0000\n";
const std::string L2 = "091026014500 4ae4ff1c r 091026020731 0001\n";
const std::string L3 = "091026020000 4ae502a0 n 091026021503 0000\n";

// Texts the reader takes or refuses, with the entries they load (-1: none).
const std::pair<std::string, int> Texts[] = {
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
};

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
  // The entries `text` loads, or -1 when it does not open.
  int load(const std::string &text) {
    put(text);
    const IcfTable &t = file.table;
    int n = !open(&file) ? -1
            : t.last < 0 ? 0
                         : (t.last - t.first + t.capacity) % t.capacity + 1;
    EXPECT_EQ(file.failure.fault != ICF_FAULT_NONE, n < 0);
    icf_close(&file);
    return n;
  }
  std::string dir, path;
  IcfFile file = {};
};

TEST_F(IcfTest, ReadsWholeRecordsAndSaneHeadersOnly) {
  for (const auto &[text, entries] : Texts) EXPECT_EQ(load(text), entries);
  const std::string text = Header + L1 + L2 + L3;
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    std::istringstream in(text.substr(0, cut));
    std::vector<std::string> w{std::istream_iterator<std::string>(in), {}};
    bool whole = w.size() >= 3 && w[2] == "RETRIES=3" && w.size() % 5 == 3;
    EXPECT_EQ(load(text.substr(0, cut)), whole ? int(w.size()) / 5 : -1);
  }
}

// Read in chunks of any size, a text loads the same table or fails the same
// way at the same line as read in one piece.
TEST_F(IcfTest, ChunkedReadingMatchesWholeReading) {
  auto outcome = [&](const std::string &text, size_t chunk) {
    put(text);
    Icf_Knobs.read_chunk = chunk;
    const int ok = open(&file);
    Icf_Knobs.read_chunk = 64 * 1024;
    std::ostringstream s;
    s << ok << ' ' << file.failure.fault << ' ' << file.failure.read_fault
      << ' ' << file.failure.line << ' ' << file.table.pending.count << '\n';
    for (int32_t i = file.table.first; i >= 0 && ok;
         i = i == file.table.last ? -1 : (i + 1) % file.table.capacity) {
      const IcfEntry &e = file.table.entries[i];
      s << e.key << ' ' << e.time << ' ' << e.status << ' ' << e.stamp << ' '
        << e.retry_count << '\n';
    }
    icf_close(&file);
    return s.str();
  };
  std::vector<std::string> texts = {
      Header + L1 + "\n\n" + L2.substr(0, 30) + "zz 0001\n" + L3,
      Header + L1 + "\n \n091026014500\n4ae4ff1c r\n091026020731\n\n12x\n",
      Header + "k" + std::string(50, ' ') + "0x1f n" + std::string(45, '\n') +
          "s 12 k " + std::string(50, '\n') + "0x n s 1"};
  for (const auto &text : Texts) texts.push_back(text.first);
  const std::string whole = Header + L1 + L2 + L3;
  for (size_t cut = 0; cut <= whole.size(); cut += 5)
    texts.push_back(whole.substr(0, cut));
  for (const std::string &text : texts)
    for (size_t chunk : {1, 2, 7, 64})
      EXPECT_EQ(outcome(text, chunk), outcome(text, 64 * 1024))
          << chunk << ": " << text;
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
  std::string wrong = text;
  wrong.replace(wrong.find("67270a58"), 8, "       0");
  for (const std::string &input : {text, wrong}) {
    put(input);
    ASSERT_TRUE(icf_open(&file, "t", link.c_str()));
    EXPECT_EQ(file.table.entries[3].time, time_t{0x829095c0});
    EXPECT_EQ(file.table.pending.count, 3);  // `a` is pending again
    EXPECT_TRUE(icf_commit(&file));
    icf_close(&file);
    EXPECT_EQ(get(), text);
    EXPECT_TRUE(fs::is_symlink(link));
  }
}

// Large files of lines of every width the writer produces (keys of 1 to 12
// characters, padded and full hex, retry counts of 1 to 11 characters)
// survive an open and a commit byte for byte, whatever buffer sizes the
// reader and the writer use, by rename and (the largest, hard-linked) in
// place.
TEST_F(IcfTest, LargeFilesRoundTripByteForByte) {
  const int32_t retries[] = {0, 7, 9999, 12345, -1, INT32_MAX, INT32_MIN};
  for (int32_t n : {1, 4099, 100000}) {
    std::string text =
        "PERIOD=60\nENTRIES=" + std::to_string(n) + "\nRETRIES=3\n";
    char line[64];
    for (int32_t i = 0; i < n; ++i) {
      const std::string key = std::to_string(i * 7919LL).substr(0, i % 12 + 1);
      std::snprintf(line, sizeof line, "%s %8x %c %s %04d\n", key.c_str(),
                    static_cast<unsigned>(i) * (i % 3 ? 2654435761u : 3u),
                    "snrx?"[i % 5], "990101000000", retries[i % 7]);
      text += line;
    }
    put(text);
    if (n == 100000) fs::create_hard_link(path, dir + "/other-name");
    ASSERT_TRUE(open(&file)) << n;
    if (n == 100000) put(std::string(text.size(), '#'));  // every byte counts
    const int32_t partial[] = {0, 0, 1, 2, 2};            // pending: n, r and ?
    EXPECT_EQ(file.table.pending.count, n / 5 * 3 + partial[n % 5]) << n;
    EXPECT_TRUE(icf_commit(&file));
    icf_close(&file);
    EXPECT_TRUE(get() == text) << n;
  }
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

}  // namespace
