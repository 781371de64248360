// floor: the I/O of one run and nothing else. Opens the checkpoint file for
// reading and writing, reads it whole, writes it back over itself, cuts it
// at the end of what was written and closes it: the least any run that
// updates the file must do.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: floor file\n");
    return 1;
  }
  int fd = open(argv[1], O_RDWR);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  static char text[1 << 20];
  ssize_t size = 0;
  for (ssize_t n; size < static_cast<ssize_t>(sizeof text) &&
                  (n = read(fd, text + size, sizeof text - size)) > 0;)
    size += n;
  bool ok = lseek(fd, 0, SEEK_SET) == 0 && write(fd, text, size) == size &&
            ftruncate(fd, size) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
