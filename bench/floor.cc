// floor: the I/O of one run and nothing else, for a file of any size.
//
//   floor FILE      opens the checkpoint file for reading and writing, reads
//                   it whole, writes it back over itself, cuts it at the end
//                   of what was written and closes it: the least any run
//                   that updates the file must do.
//   floor -d FILE   the durable floor: reads the file whole, writes the same
//                   bytes to a new file beside it, syncs it, renames it over
//                   the file and syncs the directory, as a run that saves
//                   durably must.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Reads from the start to the end of file, whatever the size; the size
// from fstat only sizes the first buffer.
bool read_all(int fd, std::string *text) {
  struct stat st;
  size_t capacity = fstat(fd, &st) == 0 && st.st_size > 0
                        ? static_cast<size_t>(st.st_size) + 1
                        : 4096;
  text->resize(capacity);
  size_t size = 0;
  for (;;) {
    if (size == text->size()) text->resize(text->size() * 2);
    ssize_t n = read(fd, text->data() + size, text->size() - size);
    if (n < 0) return false;
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  text->resize(size);
  return true;
}

bool write_all(int fd, const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool in_place(const char *path) {
  int fd = open(path, O_RDWR);
  if (fd < 0) return false;
  std::string text;
  bool ok = read_all(fd, &text) && lseek(fd, 0, SEEK_SET) == 0 &&
            write_all(fd, text) &&
            ftruncate(fd, static_cast<off_t>(text.size())) == 0;
  return close(fd) == 0 && ok;
}

bool durable(const char *path) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return false;
  std::string text;
  bool ok = read_all(fd, &text);
  if (close(fd) != 0 || !ok) return false;
  std::string temp = std::string(path) + ".floorXXXXXX";
  int out = mkstemp(temp.data());
  if (out < 0) return false;
  ok = write_all(out, text) && fsync(out) == 0;
  ok = close(out) == 0 && ok && rename(temp.c_str(), path) == 0;
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  std::string directory = path;
  size_t slash = directory.rfind('/');
  directory = slash == std::string::npos ? "."
              : slash == 0               ? "/"
                                         : directory.substr(0, slash);
  int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir < 0) return false;
  ok = fsync(dir) == 0;
  return close(dir) == 0 && ok;
}

}  // namespace

int main(int argc, char *argv[]) {
  bool sync = argc == 3 && std::strcmp(argv[1], "-d") == 0;
  if (argc != 2 && !sync) {
    std::fprintf(stderr, "usage: floor [-d] file\n");
    return 1;
  }
  const char *path = argv[argc - 1];
  if (!(sync ? durable(path) : in_place(path))) {
    std::perror(path);
    return 1;
  }
  return 0;
}
