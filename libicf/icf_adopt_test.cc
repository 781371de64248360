#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "libicf.h"
#include "libstd.h"

namespace {

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
// again (a hand-edited key: it queues out of file order), another's save.
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
