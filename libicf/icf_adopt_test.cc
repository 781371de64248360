#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "libicf.h"
#include "libstd.h"

namespace {

// The edited table replaces the original's in the same open file: the
// scheduler walks its pending entries and the commit writes it.
TEST(IcfAdopt, TableMovesIntoTheOpenFile) {
  setenv("TZ", "UTC0", 1);
  tzset();
  char name[] = "/tmp/icf_adopt.XXXXXX";
  const std::string dir = mkdtemp(name), a = dir + "/a", b = dir + "/b";
  const std::string edited =
      "PERIOD=900\nENTRIES=3\nRETRIES=1\n"
      "091026013000 4ae4fb98 r 091026014622 0001\n"
      "091026014500 4ae4ff1c s 091026020731 0000\n"
      "091026020000 4ae502a0 n 091026021503 0000\n";
  std::ofstream(a) << "PERIOD=60\nENTRIES=1\nRETRIES=0\n"
                      "091026013000 4ae4fb98 n 091026014622 0000\n";
  std::ofstream(b) << edited;
  IcfFile file, from;
  ASSERT_TRUE(icf_open(&file, "a", a.c_str()) &&
              icf_open(&from, "b", b.c_str()) && icf_adopt(&file, &from));
  EXPECT_EQ(from.stream, nullptr);
  const time_t end = 0x4ae502a0 + 900;  // nothing new is due
  for (const char *key : {"091026013000", "091026020000"})
    EXPECT_STREQ(quenlor(&file, end, 0)->key, key);
  EXPECT_EQ(quenlor(&file, end, 0), nullptr);
  ASSERT_TRUE(icf_commit(&file));
  icf_close(&file);
  std::ostringstream text;
  text << std::ifstream(a).rdbuf();
  EXPECT_EQ(text.str(), edited);
  std::filesystem::remove_all(dir);
}

// Every cut of a text gives the whole's value, each prefix another.
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
  std::set<uint64_t> prefixes;
  for (size_t n = 0; n <= text.size(); ++n)
    prefixes.insert(value(text.substr(0, n), 8));
  EXPECT_EQ(prefixes.size(), text.size() + 1);
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
// fresh open of the file gives, through retries beyond RETRIES, an interval
// asked for again (its key edited by hand, so a load takes its time from
// the key; it queues out of file order) and another program's save.
TEST(IcfReopen, KeepsWhatAFreshOpenGives) {
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  char name[] = "/tmp/icf_reopen.XXXXXX";
  const std::string path = std::string(mkdtemp(name)) + "/f";
  std::ofstream(path) << "PERIOD=900\nENTRIES=8\nRETRIES=1\n"
                         "241103000000        1 s 241103000000 0000\n"
                         "241103003000 6726fc48 s 241103004500 0000\n";
  const time_t now = 0x6726fc48 + 5 * 900;
  IcfFile file, other;
  ASSERT_TRUE(icf_open(&file, "t", path.c_str()));
  // A letter for the interval due, then: a, ask for the first again; h,
  // another program marks the next one due x.
  for (std::string t : {"r", "r", "sa", "rh", "s", "s"}) {
    if (IcfEntry *e = quenlor(&file, now, 0)) corvane(&file, e, t[0]);
    if (t[1] == 'a') corvane(&file, &file.table.entries[0], 'a');
    ASSERT_TRUE(icf_commit(&file));
    icf_release(&file);
    ASSERT_TRUE(icf_open(&other, "t", path.c_str()));
    if (t[1] == 'h') corvane(&other, quenlor(&other, now, 0), 'x');
    ASSERT_TRUE(t[1] != 'h' || icf_commit(&other));
    const std::string fresh = seen(&other);
    icf_close(&other);
    EXPECT_EQ(icf_reopen(&file), t[1] == 'h' ? 2 : 1);
    EXPECT_EQ(seen(&file), fresh) << t;
  }
  icf_close(&file);
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

}  // namespace
