// A full disk: a run fails with its message and leaves the previous file,
// by rename and in place.
#include <sys/mount.h>

#include <memory>

#include "child.h"
#include "gtest/gtest.h"

namespace {

TEST(WriteBack, FullDiskKeepsThePreviousFile) {
  Scratch s;
  std::string mnt = s.dir + "/disk";
  std::filesystem::create_directory(mnt);
  if (mount("icf-test", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small file system here";
  std::shared_ptr<void> unmount(
      nullptr, [&](void *) { umount2(mnt.c_str(), MNT_DETACH); });
  // 96 entries fill the file's first 4 KiB page almost to its end; eight
  // more make it longer.
  std::ofstream(mnt + "/f") << quarter_hours(96, 200);
  const std::string before = s.read("disk/f"),
                    append = QUENLOR_PATH " -t " + key_of(Jan1 + 900 * 104) +
                             " disk/f";
  s.run("head -c 1M /dev/zero >disk/filler");  // until the disk is full
  // Renamed, then hard-linked and rewritten in place: its reservation fails.
  for (const std::string link : {"true", "ln disk/f disk/g"}) {
    ASSERT_EQ(s.run(link).status, 0);
    Ran r = s.run(append);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with(": Cannot write checkpoint file: disk/f\n"))
        << r.err;
    EXPECT_EQ(s.read("disk/f"), before);
  }
  s.run("rm disk/g disk/filler");
  EXPECT_EQ(s.run("ls disk").out, "f\n");  // nothing left behind
  EXPECT_EQ(s.run(append).status, 0);
  EXPECT_EQ(unhealthy(mnt + "/f"), "");
}

}  // namespace
