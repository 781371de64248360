// The runner's lock file and the lock on the checkpoint file's inode.
#include "run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

#include "libicf.h"
#include "libstd.h"
#include "run_proc.h"

namespace {

// Far beyond any checkpoint text: a lock there holds up no reader.
constexpr off_t Inode_Lock_At = std::numeric_limits<off_t>::max() / 2 + 1;

// File systems that carry flock as a POSIX lock to a server (NFS, SMB, and
// FUSE where the server does): there a byte-range lock on the checkpoint
// file would collide with the programs' flock of it.
bool flock_is_posix(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return true;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969UL:      // NFS
    case 0x517BUL:      // SMB
    case 0xFF534D42UL:  // CIFS
    case 0xFE534D42UL:  // SMB2
    case 0x65735546UL:  // FUSE
      return true;
    default:
      return false;
  }
}

// "db2 4242 1733566500": host, process and start of the holder.
void write_holder(int fd) {
  char host[256] = "?";
  if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "?");
  host[sizeof host - 1] = '\0';
  for (char *c = host; *c != '\0'; ++c)
    if (*c == ' ' || *c == '\n') *c = '_';
  char line[320];
  const int n =
      std::snprintf(line, sizeof line, "%s %ld %lld\n", host, long(getpid()),
                    static_cast<long long>(time(nullptr)));
  // A lock file the runner cannot write (made beforehand, read-only) is a
  // lock all the same; only the note about the holder is lost.
  if (ftruncate(fd, 0) != 0 || pwrite(fd, line, n, 0) != n) return;
}

// "Another runner (host db2, pid 4242, since 10:15) is busy with FILE;
// leaving", or without the parenthesis when the lock file names no holder.
std::string busy_note(int fd, const char *shown) {
  char text[320] = "";
  const ssize_t n = fd >= 0 ? pread(fd, text, sizeof text - 1, 0) : -1;
  text[n > 0 ? n : 0] = '\0';
  char host[256];
  long pid;
  long long since;
  std::string holder;
  if (std::sscanf(text, "%255s %ld %lld", host, &pid, &since) == 3) {
    const time_t t = static_cast<time_t>(since), now = time(nullptr);
    struct tm at, today;
    char when[32] = "?";
    if (localtime_r(&t, &at) != nullptr && localtime_r(&now, &today)) {
      const bool same_day =
          at.tm_year == today.tm_year && at.tm_yday == today.tm_yday;
      strftime(when, sizeof when, same_day ? "%H:%M" : "%Y-%m-%d %H:%M", &at);
    }
    holder = std::string(" (host ") + host + ", pid " + std::to_string(pid) +
             ", since " + when + ")";
  }
  return "Another runner" + holder + " is busy with " + shown + "; leaving";
}

// An exclusive OFD lock on a byte far beyond the text of the checkpoint
// file, for a file with more than one name: a hard-linked file is saved in
// place, so its inode stays, and another name of it has another lock file.
// Independent of the programs' flock on local file systems. -1 when the
// file needs none or the system has none; otherwise the descriptor, or -2
// while another runner holds it.
int lock_inode(const char *resolved) {
  struct stat st;
  if (stat(resolved, &st) != 0 || st.st_nlink < 2 || !S_ISREG(st.st_mode))
    return -1;
  const int fd = open(resolved, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  if (flock_is_posix(fd)) {
    close(fd);
    return -1;
  }
  struct flock range = {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = Inode_Lock_At;
  range.l_len = 1;
  if (fcntl(fd, F_OFD_SETLK, &range) == 0) return fd;
  const int error = errno;
  close(fd);
  return error == EAGAIN || error == EACCES ? -2 : -1;
}

// Takes both locks without waiting: Locked, Busy, or Lock_Error.
LockResult try_both(int fd, const char *resolved, RunnerLock *lock) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    return errno == EWOULDBLOCK || errno == EINTR ? Busy : Lock_Error;
  const int inode = lock_inode(resolved);
  if (inode == -2) {
    flock(fd, LOCK_UN);
    return Busy;
  }
  lock->inode_fd = inode;
  return Locked;
}

}  // namespace

LockResult runner_lock(const char *resolved, const char *shown, int32_t wait,
                       RunnerLock *lock, int *stopped, std::string *why) {
  char *name = icf_sibling_path(resolved, ".lock");
  if (name == nullptr) {
    *why = std::string("Cannot lock ") + resolved +
           ".lock: " + std::strerror(ENOMEM);
    return Lock_Error;
  }
  const std::string path = name;
  std_free(nullptr, name);
  // Not closed at exec: while any process of a command lives, it holds the
  // lock, also after the runner was killed.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOCTTY, 0666);
  bool writable = fd >= 0;
  // A lock file made beforehand serves in a directory the job cannot write.
  if (fd < 0 && (errno == EACCES || errno == EROFS)) {
    const int error = errno;
    fd = open(path.c_str(), O_RDONLY | O_NOCTTY);
    if (fd < 0 && errno == ENOENT) errno = error;
  }
  if (fd < 0) {
    *why = "Cannot lock " + path + ": " + std::strerror(errno);
    return Lock_Error;
  }
  const double deadline = monotonic() + wait;
  for (;;) {
    const LockResult got = try_both(fd, resolved, lock);
    if (got == Locked) break;
    if (got == Lock_Error) {
      *why = "Cannot lock " + path + ": " + std::strerror(errno);
      close(fd);
      return Lock_Error;
    }
    timespec nap = {0, 50 * 1000 * 1000};
    const int sig = monotonic() >= deadline
                        ? -1
                        : sigtimedwait(&stop_signals(), nullptr, &nap);
    if (sig == -1 && monotonic() < deadline) continue;
    if (sig > 0) *stopped = sig;
    *why = busy_note(fd, shown);
    close(fd);
    return Busy;
  }
  if (writable) write_holder(fd);
  lock->fd = fd;
  return Locked;
}
