// The runner's lock file and the lock on the checkpoint file's inode.
#include "run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <limits>

#include "libicf.h"
#include "libstd.h"
#include "run_holder.h"
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
    *why = holder_note(fd, shown);
    close(fd);
    return Busy;
  }
  if (writable) {
    lock->record = holder_record();
    holder_write(fd, &lock->record, {});
  }
  lock->fd = fd;
  return Locked;
}

void runner_lock_groups(RunnerLock *lock, const std::vector<pid_t> &running) {
  holder_write(lock->fd, &lock->record, running);
}
