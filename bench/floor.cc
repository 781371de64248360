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
//   floor -s N FILE COMMAND...
//                   the runner's floor per interval: reads the file once, then
//                   N times starts COMMAND (standard input from /dev/null),
//                   waits for it and saves the same bytes durably as -d does.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Reads from the start to the end of file, whatever the size; the size
// from fstat only sizes the first buffer. The buffer is not cleared first:
// a floor must not do work a run need not do.
char *read_all(int fd, size_t *size_out) {
  struct stat st;
  size_t capacity = fstat(fd, &st) == 0 && st.st_size > 0
                        ? static_cast<size_t>(st.st_size) + 1
                        : 4096;
  char *text = static_cast<char *>(std::malloc(capacity));
  size_t size = 0;
  for (ssize_t n; text != nullptr; size += static_cast<size_t>(n)) {
    if (size == capacity) {
      char *bigger = static_cast<char *>(std::realloc(text, capacity *= 2));
      if (bigger == nullptr) std::free(text);
      text = bigger;
      if (text == nullptr) break;
    }
    n = read(fd, text + size, capacity - size);
    if (n <= 0) {
      if (n == 0) break;
      std::free(text);
      return nullptr;
    }
  }
  *size_out = size;
  return text;
}

bool write_all(int fd, const char *text, size_t size) {
  for (size_t done = 0; done < size;) {
    ssize_t n = write(fd, text + done, size - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool in_place(const char *path) {
  int fd = open(path, O_RDWR);
  if (fd < 0) return false;
  size_t size;
  char *text = read_all(fd, &size);
  bool ok = text != nullptr && lseek(fd, 0, SEEK_SET) == 0 &&
            write_all(fd, text, size) &&
            ftruncate(fd, static_cast<off_t>(size)) == 0;
  std::free(text);
  return close(fd) == 0 && ok;
}

// Writes `size` bytes to a new file beside `path`, syncs it, renames it
// over the path and syncs the directory.
bool save_durably(const char *path, const char *text, size_t size) {
  std::string temp = std::string(path) + ".floorXXXXXX";
  int out = mkstemp(temp.data());
  if (out < 0) return false;
  bool ok = write_all(out, text, size) && fsync(out) == 0;
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

char *read_path(const char *path, size_t *size) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return nullptr;
  char *text = read_all(fd, size);
  if (close(fd) != 0) {
    std::free(text);
    return nullptr;
  }
  return text;
}

bool durable(const char *path) {
  size_t size;
  char *text = read_path(path, &size);
  bool ok = text != nullptr && save_durably(path, text, size);
  std::free(text);
  return ok;
}

bool spawn_and_wait(char **argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid;
  const int error =
      posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  int status;
  return error == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

bool intervals(long n, const char *path, char **command) {
  size_t size;
  char *text = read_path(path, &size);
  bool ok = text != nullptr;
  for (long i = 0; ok && i < n; ++i)
    ok = spawn_and_wait(command) && save_durably(path, text, size);
  std::free(text);
  return ok;
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc >= 5 && std::strcmp(argv[1], "-s") == 0) {
    if (!intervals(std::atol(argv[2]), argv[3], argv + 4)) {
      std::perror(argv[3]);
      return 1;
    }
    return 0;
  }
  bool sync = argc == 3 && std::strcmp(argv[1], "-d") == 0;
  if (argc != 2 && !sync) {
    std::fprintf(stderr,
                 "usage: floor [-d] file\n       floor -s N file command...\n");
    return 1;
  }
  const char *path = argv[argc - 1];
  if (!(sync ? durable(path) : in_place(path))) {
    std::perror(path);
    return 1;
  }
  return 0;
}
