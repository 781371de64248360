#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "libicf.h"

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
  IcfFile file, from, closed{};
  ASSERT_TRUE(icf_open(&file, "a", a.c_str()) &&
              icf_open(&from, "b", b.c_str()));
  EXPECT_FALSE(icf_adopt(&file, &closed));
  ASSERT_TRUE(icf_adopt(&file, &from));
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

}  // namespace
