// The checkpoint file's life (open, create, commit, close), lookup and
// status change of an entry, and the interval scheduler.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "icf_internal.h"
#include "libicf.h"
#include "libstd.h"

IcfKnobs Icf_Knobs = {30000, 64 * 1024, 1};

namespace {

// icf_lock_give_up's hook.
int (*Lock_Give_Up)(void *context) = nullptr;
void *Lock_Give_Up_Context = nullptr;

// ---- Locking ------------------------------------------------------------

bool locks_unsupported(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL;
}

int64_t clock_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

IcfFault close_failing(int fd, IcfFault fault) {
  const int error = errno;
  close(fd);
  errno = error;
  return fault;
}

// Opens `path` and takes the flock `operation` on it, waiting at most
// Icf_Knobs.lock_wait_ms for another run, or until the give-up hook says
// so. The open does not wait (a FIFO would, for a writer that never comes),
// and only a regular file is kept. A run holding the lock may replace the
// file by renaming a new one over it; the lock on the old one then guards
// nothing, so the path is opened again until it names the locked file.
IcfFault lock_open(const char *path, int flags, int operation, int *fd_out) {
  const int64_t deadline = clock_ms() + Icf_Knobs.lock_wait_ms;
  for (;;) {
    int fd = open(path, flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    // A directory refuses a writer before fstat could tell what it is.
    if (fd < 0)
      return errno == EISDIR ? ICF_FAULT_NOT_REGULAR : ICF_FAULT_SYSTEM;
    struct stat opened, named;
    if (fstat(fd, &opened) != 0) return close_failing(fd, ICF_FAULT_SYSTEM);
    if (!S_ISREG(opened.st_mode))
      return close_failing(fd, ICF_FAULT_NOT_REGULAR);
    const int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)
      return close_failing(fd, ICF_FAULT_SYSTEM);
    for (;;) {
      if (flock(fd, operation | LOCK_NB) == 0 || locks_unsupported(errno))
        break;
      const int error = errno;
      if (error == EINTR) continue;
      const bool given_up = error == EWOULDBLOCK && Lock_Give_Up != nullptr &&
                            Lock_Give_Up(Lock_Give_Up_Context) != 0;
      if (error != EWOULDBLOCK || given_up || clock_ms() >= deadline)
        return close_failing(
            fd, error == EWOULDBLOCK ? ICF_FAULT_BUSY : ICF_FAULT_SYSTEM);
      const timespec nap = {0, 15 * 1000 * 1000};
      nanosleep(&nap, nullptr);
    }
    if (stat(path, &named) == 0 && opened.st_dev == named.st_dev &&
        opened.st_ino == named.st_ino) {
      *fd_out = fd;
      return ICF_FAULT_NONE;
    }
    close(fd);
    if (clock_ms() >= deadline) return ICF_FAULT_BUSY;
  }
}

// ---- Loading ------------------------------------------------------------

// Why a load failed, kept apart from the IcfFile that is cleared meanwhile.
using Failure = IcfFailure;

IcfFault failed(Failure *f, IcfFault fault) {
  f->fault = fault;
  f->error = fault == ICF_FAULT_SYSTEM ? errno : 0;
  return fault;
}

// The path of the file `path` names, symbolic links followed, in a buffer
// from std_malloc; null (ICF_FAULT_ALLOC or ICF_FAULT_SYSTEM in *fault) on
// failure. The commit replaces the file a link points to, not the link.
// Relative paths stay relative, so that a working directory deeper than
// PATH_MAX costs nothing.
char *resolve(const char *path, Failure *failure) {
  char *p = std_strdup(nullptr, path);
  char target[PATH_MAX];
  for (int hops = 0; p != nullptr; ++hops) {
    struct stat st;
    if (lstat(p, &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    const ssize_t n = readlink(p, target, sizeof target - 1);
    if (hops == 40 || n <= 0) {
      errno = n < 0 ? errno : ELOOP;
      failed(failure, ICF_FAULT_SYSTEM);
      std_free(nullptr, p);
      return nullptr;
    }
    target[n] = '\0';
    const char *slash = std::strrchr(p, '/');
    const size_t keep = target[0] == '/' || slash == nullptr
                            ? 0
                            : static_cast<size_t>(slash - p) + 1;
    char *next = static_cast<char *>(
        std_malloc(nullptr, static_cast<uint32_t>(keep + n + 1)));
    if (next != nullptr) {
      std::memcpy(next, p, keep);
      std::memcpy(next + keep, target, static_cast<size_t>(n) + 1);
    }
    std_free(nullptr, p);
    p = next;
  }
  failed(failure, ICF_FAULT_ALLOC);
  return nullptr;
}

// The file as the reader reads it: from the start, a chunk at a time.
struct FileText {
  int fd;
  off_t offset;
  off_t size;  // as it was opened: the lock keeps writers out
  int error;   // of a failed read
};

constexpr size_t Read_Chunk = 64 * 1024;
constexpr size_t Read_Buffer = Read_Chunk + ICF_READ_MIN;

int64_t read_file(void *context, char *to, size_t room) {
  FileText *text = static_cast<FileText *>(context);
  size_t chunk =
      Icf_Knobs.read_chunk < Read_Chunk ? Icf_Knobs.read_chunk : Read_Chunk;
  if (text->offset >= text->size) return 0;
  if (static_cast<off_t>(chunk) > text->size - text->offset)
    chunk = static_cast<size_t>(text->size - text->offset);
  for (;;) {
    const ssize_t n =
        pread(text->fd, to, room < chunk ? room : chunk, text->offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) text->error = errno;
    if (n > 0) text->offset += n;
    return n;
  }
}

// The whole file under the lock, parsed into the table unless `read` is
// false.
IcfFault load(IcfFile *file, const char *path, bool writable, bool read,
              Failure *f) {
  if (path == nullptr) {
    errno = EINVAL;
    return failed(f, ICF_FAULT_SYSTEM);
  }
  file->path = resolve(path, f);
  if (file->path == nullptr) return f->fault;
  // What was resolved is what is opened: a link put in its place since is
  // refused (ELOOP), not followed to another file.
  int fd;
  const IcfFault fault =
      lock_open(file->path, (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW,
                writable ? LOCK_EX : LOCK_SH, &fd);
  if (fault != ICF_FAULT_NONE) return failed(f, fault);
  file->stream = fdopen(fd, writable ? "r+" : "r");
  if (file->stream == nullptr)
    return close_failing(fd, failed(f, ICF_FAULT_SYSTEM));
  if (!read) return ICF_FAULT_NONE;
  struct stat st;
  if (fstat(fd, &st) != 0) return failed(f, ICF_FAULT_SYSTEM);
  FileText source = {fd, 0, st.st_size, 0};
  char buffer[Read_Buffer];
  IcfReader reader;
  icf_reader_init_fill(&reader, buffer, sizeof buffer, read_file, &source);
  const int ok = icf_text_read(&reader, &file->table);
  if (source.error != 0) {
    errno = source.error;
    return failed(f, ICF_FAULT_SYSTEM);
  }
  if (ok) return ICF_FAULT_NONE;
  if (reader.fault == ICF_READ_ALLOC) return failed(f, ICF_FAULT_ALLOC);
  f->line = reader.fault_line;
  f->read_fault = reader.fault;
  return failed(f, ICF_FAULT_FORMAT);
}

int open_file(IcfFile *file, const char *name, const char *path, bool writable,
              bool read = true) {
  std::memset(file, 0, sizeof *file);
  queue_create(&file->table.pending, &file->table, nullptr);
  file->table.first = file->table.last = -1;
  if (name != nullptr) std_strcpy(file->name, sizeof file->name, name);
  Failure f = {};
  if (load(file, path, writable, read, &f) != ICF_FAULT_NONE) {
    icf_close(file);
    file->failure = f;
    return 0;
  }
  return 1;
}

// ---- Writing back -------------------------------------------------------

bool write_all(int fd, const char *text, size_t length, off_t offset) {
  while (length > 0) {
    const ssize_t n = pwrite(fd, text, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text += n;
    length -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// Best effort: a directory the user may write but not read cannot be
// opened for its sync, and the rename it would make durable is done.
void sync_directory(const char *path) {
  const char *slash = std::strrchr(path, '/');
  char *directory = std_strdup(nullptr, slash == nullptr ? "." : path);
  if (directory == nullptr) return;
  if (slash != nullptr) directory[slash == path ? 1 : slash - path] = '\0';
  const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std_free(nullptr, directory);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

struct SignalBlock {
  sigset_t previous;
  SignalBlock() {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &previous);
  }
  ~SignalBlock() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
};

enum Save { SAVE_DONE, SAVE_FAILED, SAVE_IN_PLACE };

// Errors of a new file or its rename that a rewrite in place avoids: no
// right to the directory, a sticky directory, a bind-mounted file, a name
// with no room for a suffix.
Save refused(int error) {
  return error == EBUSY || error == EPERM || error == EXDEV ||
                 error == EACCES || error == ENAMETOOLONG || error == EROFS
             ? SAVE_IN_PLACE
             : SAVE_FAILED;
}

char *temp_name(const char *path) { return icf_sibling_path(path, ".XXXXXX"); }

// The table's text rendered chunk by chunk and written from offset 0 on;
// without its first byte when `hold_first` (the in-place save writes that
// one last). Every byte of the text passes through here. The text's
// length, or -1 when a write failed. file->saved becomes the hash of the
// text, whichever of the saves writes it last.
off_t write_text(IcfFile *file, int fd, bool hold_first) {
  file->saved = IcfHash{};
  if (icf_kept_ready(file->kept))
    return icf_kept_write(file->kept, fd, hold_first)
               ? static_cast<off_t>(icf_kept_length(file->kept))
               : -1;
  char chunk[ICF_RENDER_CHUNK];
  IcfRender render;
  icf_render_start(&render, &file->table, 1);
  off_t offset = 0;
  for (size_t n; (n = icf_render_next(&render, chunk, sizeof chunk)) > 0;
       offset += static_cast<off_t>(n)) {
    icf_hash_add(&file->saved, chunk, n);
    const size_t skip = hold_first && offset == 0 ? 1 : 0;
    if (!write_all(fd, chunk + skip, n - skip, offset + skip)) return -1;
  }
  return offset;
}

// Writes the text into a new file beside the checkpoint file, syncs it and
// renames it over the checkpoint file, when the new file can take the old
// one's place whole.
Save replace(IcfFile *file, const struct stat &original) {
  char *temp = temp_name(file->path);
  if (temp == nullptr) return SAVE_FAILED;
  const int fd = mkostemp(temp, O_CLOEXEC);
  if (fd < 0) {
    std_free(nullptr, temp);
    return refused(errno);
  }
  // Lock before the rename: whatever the path names is always locked.
  Save result = flock(fd, LOCK_EX | LOCK_NB) == 0 || locks_unsupported(errno)
                    ? SAVE_DONE
                    : SAVE_FAILED;
  // Owner, group and mode as before, or the users of the file could lose
  // it; only root can give the file to another owner, a member of the
  // file's group can give it that group.
  const uid_t owner = geteuid() == 0 ? original.st_uid : static_cast<uid_t>(-1);
  struct stat made;
  if (fchown(fd, owner, original.st_gid) != 0 ||
      fchmod(fd, original.st_mode & 07777) != 0 || fstat(fd, &made) != 0 ||
      made.st_uid != original.st_uid || made.st_gid != original.st_gid ||
      (made.st_mode & 07777) != (original.st_mode & 07777))
    result = result == SAVE_DONE ? SAVE_IN_PLACE : result;
  FILE *stream = result == SAVE_DONE ? fdopen(fd, "r+") : nullptr;
  if (result == SAVE_DONE &&
      (stream == nullptr || write_text(file, fd, false) < 0 || fsync(fd) != 0))
    result = SAVE_FAILED;
  if (result == SAVE_DONE && rename(temp, file->path) != 0)
    result = refused(errno);
  if (result != SAVE_DONE) {
    unlink(temp);
    if (stream != nullptr)
      fclose(stream);
    else
      close(fd);
  } else {
    fclose(file->stream);
    file->stream = stream;
    sync_directory(file->path);
  }
  std_free(nullptr, temp);
  return result;
}

// Rewrites the file where it is, marked as unfinished meanwhile. The space
// for a longer text is reserved first, so that a full disk or a file-size
// limit fails before the old text is touched.
int rewrite_in_place(IcfFile *file, off_t old) {
  const int fd = fileno(file->stream);
  const uint64_t length = icf_kept_ready(file->kept)
                              ? icf_kept_length(file->kept)
                              : icf_text_length(&file->table);
  rlimit limit;
  if (length > INT64_MAX || getrlimit(RLIMIT_FSIZE, &limit) != 0 ||
      (limit.rlim_cur != RLIM_INFINITY && length > limit.rlim_cur))
    return 0;
  if (static_cast<off_t>(length) > old) {
    const int error = posix_fallocate(fd, 0, static_cast<off_t>(length));
    if (error != 0 && error != EOPNOTSUPP && error != EINVAL) return 0;
  }
  // The old text, too, begins with the 'P' of PERIOD=.
  const char mark = ICF_SAVE_MARK, first = 'P';
  if (!write_all(fd, &mark, 1, 0)) return 0;
  if (fdatasync(fd) != 0) {
    write_all(fd, &first, 1, 0);
    return 0;
  }
  return write_text(file, fd, true) == static_cast<off_t>(length) &&
         ftruncate(fd, static_cast<off_t>(length)) == 0 && fdatasync(fd) == 0 &&
         write_all(fd, &first, 1, 0) && fdatasync(fd) == 0;
}

// ---- Scheduler ----------------------------------------------------------

// The key of the clock time, kept unchanged if the clock cannot be read.
void stamp_now(char *stamp) {
  char key[13];
  if (icf_cnv_time_str(time(nullptr), key)) std_strcpy(stamp, 13, key);
}

// The start of the interval after the newest entry (after saved_start when
// skip is set; of the interval at the reference time for an empty table), or
// 0 when it is not due yet.
time_t next_interval(IcfTable *table, time_t now, int include_current,
                     SchedulerState *state) {
  const time_t now0 = now >= 0 ? now : time(nullptr);
  const int32_t period = table->period;
  const bool empty = table->last < 0;
  time_t start;
  int skip;
  if (empty) {
    const time_t reference = icf_due_limit(table, now0, include_current);
    struct tm fields;
    if (localtime_r(&reference, &fields) == nullptr) return 0;
    // The interval of the reference's hour whose end is at or after the
    // reference minute.
    int k = 0;
    while ((k * period) / 60 + period / 60 < fields.tm_min) ++k;
    fields.tm_min = 0;
    fields.tm_sec = k * period;
    // mktime with the reference's daylight flag: the hour is read in the
    // reference's regime, and the correction handles a change between.
    start = mktime(&fields);
    if (start < 0 ||
        !icf_correct_start(&Icf_Local_Zone, &start, period, 1, &skip))
      return 0;
  } else {
    const time_t base =
        state->skip ? state->saved_start : table->entries[table->last].time;
    if (!icf_step_after(&Icf_Local_Zone, base, period, &start, &skip) ||
        start < 0)
      return 0;
  }
  state->skip = skip;
  state->saved_start = start;
  return start <= icf_due_limit(table, now0, include_current) ? start : 0;
}

}  // namespace

// ---- File ---------------------------------------------------------------

char *icf_resolve_path(const char *path) {
  Failure f = {};
  char *resolved = resolve(path, &f);
  if (resolved == nullptr && f.fault == ICF_FAULT_ALLOC) errno = ENOMEM;
  return resolved;
}

char *icf_sibling_path(const char *path, const char *suffix) {
  const char *slash = std::strrchr(path, '/');
  const size_t directory = slash == nullptr ? 0 : slash + 1 - path;
  const size_t extra = std::strlen(suffix);
  size_t name = std::strlen(path) - directory;
  if (extra > NAME_MAX) return nullptr;
  if (name > NAME_MAX - extra) name = NAME_MAX - extra;
  char *sibling = static_cast<char *>(
      std_malloc(nullptr, static_cast<uint32_t>(directory + name + extra + 1)));
  if (sibling != nullptr) {
    std::memcpy(sibling, path, directory + name);
    std::memcpy(sibling + directory + name, suffix, extra + 1);
  }
  return sibling;
}

int icf_create(const char *path, int32_t period, int32_t capacity,
               int32_t retries) {
  return icf_create_from(path, period, capacity, retries, -1);
}

int icf_create_from(const char *path, int32_t period, int32_t capacity,
                    int32_t retries, time_t start) {
  IcfEntry first = {};
  IcfTable table = {};
  table.period = period;
  table.retries = retries;
  table.capacity = capacity;
  table.first = table.last = -1;
  if (start >= 0) {
    first.time = start;
    first.status = 'n';
    if (!icf_cnv_time_str(start, first.key) ||
        !icf_cnv_time_str(time(nullptr), first.stamp))
      return 0;
    table.entries = &first;
    table.first = table.last = 0;
  }
  // A file that could never be opened is not worth creating.
  int fd;
  if (path == nullptr || !icf_period_valid(period) ||
      !icf_entries_valid(capacity) ||
      lock_open(path, O_WRONLY | O_CREAT, LOCK_EX, &fd) != ICF_FAULT_NONE)
    return 0;
  FILE *stream = fdopen(fd, "w");
  if (stream == nullptr) {
    close(fd);
    return 0;
  }
  bool ok = ftruncate(fd, 0) == 0 && icf_header_write(stream, &table) &&
            icf_table_write(stream, &table) && fsync(fd) == 0;
  return fclose(stream) == 0 && ok;
}

void icf_lock_give_up(int (*give_up)(void *context), void *context) {
  Lock_Give_Up = give_up;
  Lock_Give_Up_Context = context;
}

IcfFault icf_lock_open(const char *path, int writable, int *fd) {
  return lock_open(path, writable ? O_RDWR : O_RDONLY,
                   writable ? LOCK_EX : LOCK_SH, fd);
}

int icf_open(IcfFile *file, const char *name, const char *path) {
  return open_file(file, name, path, true);
}

int icf_open_readonly(IcfFile *file, const char *name, const char *path) {
  return open_file(file, name, path, false);
}

int icf_open_unread(IcfFile *file, const char *name, const char *path) {
  return open_file(file, name, path, true, false);
}

void icf_inspect_free(char *text, size_t size) {
  icf_pages_free(text, size > 0 ? size : 1);
}

namespace {

// The whole of the locked file `fd`, in a buffer from icf_pages_new: 0, -1
// when it does not fit in memory, or the errno of a failed read.
int copy_whole(int fd, char **text, size_t *size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  // The lock keeps writers out, so the size read now is the text's.
  const size_t length = static_cast<size_t>(st.st_size);
  if (length >= UINT32_MAX) return -1;
  char *copy = static_cast<char *>(icf_pages_new(length > 0 ? length : 1));
  if (copy == nullptr) return -1;
  size_t got = 0;
  while (got < length) {
    const ssize_t n =
        pread(fd, copy + got, length - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      icf_inspect_free(copy, length);
      return error;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  // Cut short by a writer that ignores the lock: the buffer is freed by
  // its size, so the text moves to one of its own.
  if (got < length) {
    char *shorter = static_cast<char *>(icf_pages_new(got > 0 ? got : 1));
    if (shorter != nullptr) std::memcpy(shorter, copy, got);
    icf_inspect_free(copy, length);
    copy = shorter;
    if (copy == nullptr) return -1;
  }
  *text = copy;
  *size = got;
  return 0;
}

// The whole file under the shared lock, in a buffer from icf_pages_new.
IcfFault read_whole(const char *path, char **text, size_t *size, Failure *f) {
  int fd;
  const IcfFault fault = icf_lock_open(path, 0, &fd);
  if (fault != ICF_FAULT_NONE) return failed(f, fault);
  const int error = copy_whole(fd, text, size);
  close(fd);
  if (error == 0) return ICF_FAULT_NONE;
  if (error < 0) return failed(f, ICF_FAULT_ALLOC);
  errno = error;
  return failed(f, ICF_FAULT_SYSTEM);
}

}  // namespace

int icf_inspect(const char *path, char **text, size_t *size,
                IcfFailure *failure) {
  *text = nullptr;
  *size = 0;
  Failure f = {};
  if (path == nullptr) {
    errno = EINVAL;
    failed(&f, ICF_FAULT_SYSTEM);
  } else if (read_whole(path, text, size, &f) != ICF_FAULT_NONE) {
    *text = nullptr;
    *size = 0;
  }
  *failure = f;
  return f.fault == ICF_FAULT_NONE;
}

int icf_look_open(IcfLook *look, const char *path, IcfFailure *failure) {
  look->fd = -1;
  look->marked = look->unmark = look->error = 0;
  look->offset = 0;
  Failure f = {};
  if (path == nullptr) {
    errno = EINVAL;
    failed(&f, ICF_FAULT_SYSTEM);
  } else if (const IcfFault fault = icf_lock_open(path, 0, &look->fd);
             fault != ICF_FAULT_NONE) {
    failed(&f, fault);
  } else {
    char first;
    look->marked = pread(look->fd, &first, 1, 0) == 1 && first == ICF_SAVE_MARK;
  }
  *failure = f;
  return f.fault == ICF_FAULT_NONE;
}

namespace {

int64_t look_fill(void *context, char *to, size_t room) {
  IcfLook *look = static_cast<IcfLook *>(context);
  for (;;) {
    const ssize_t n =
        pread(look->fd, to, room, static_cast<off_t>(look->offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      look->error = errno;
      return -1;
    }
    if (n > 0 && look->offset == 0 && look->unmark && to[0] == ICF_SAVE_MARK)
      to[0] = 'P';
    look->offset += static_cast<uint64_t>(n);
    return n;
  }
}

}  // namespace

void icf_look_read(IcfLook *look, IcfReader *reader, uint64_t offset,
                   int32_t line) {
  look->offset = offset;
  icf_reader_init_fill(reader, look->buffer, sizeof look->buffer, look_fill,
                       look);
  reader->line = line;
}

uint64_t icf_look_offset(const IcfLook *look, const IcfReader *reader) {
  return look->offset - (reader->size - reader->pos);
}

int icf_look_copy(IcfLook *look, char **text, size_t *size) {
  char *copy = nullptr;
  size_t got = 0;
  if (const int error = copy_whole(look->fd, &copy, &got); error != 0) {
    errno = error < 0 ? ENOMEM : error;
    return 0;
  }
  if (got > 0 && look->unmark && copy[0] == ICF_SAVE_MARK) copy[0] = 'P';
  icf_look_close(look);
  *text = copy;
  *size = got;
  return 1;
}

void icf_look_close(IcfLook *look) {
  if (look->fd >= 0) close(look->fd);
  look->fd = -1;
}

void icf_release(IcfFile *file) {
  if (file == nullptr || file->stream == nullptr) return;
  fclose(file->stream);
  file->stream = nullptr;
}

int icf_commit(IcfFile *file) {
  if (file == nullptr || file->stream == nullptr || file->path == nullptr)
    return 0;
  file->saved = IcfHash{};
  const int fd = fileno(file->stream);
  const int flags = fcntl(fd, F_GETFL);
  struct stat original;
  if (flags < 0 || (flags & O_ACCMODE) != O_RDWR || fstat(fd, &original) != 0)
    return 0;
  if (file->kept != nullptr) icf_kept_prepare(file);
  int ok;
  {
    SignalBlock blocked;
    // A new file keeps neither a foreign owner nor hard links.
    const Save how = original.st_nlink == 1 &&
                             (geteuid() == 0 || geteuid() == original.st_uid)
                         ? replace(file, original)
                         : SAVE_IN_PLACE;
    ok = how == SAVE_DONE ||
         (how == SAVE_IN_PLACE && rewrite_in_place(file, original.st_size));
  }
  if (!ok) file->saved = IcfHash{};
  if (!ok) icf_kept_lost(file->kept);
  if (ok && file->kept != nullptr) icf_kept_saved(file, fileno(file->stream));
  return ok;
}

void icf_close(IcfFile *file) {
  if (file == nullptr) return;
  if (file->stream != nullptr) fclose(file->stream);
  icf_kept_free(file->kept);
  icf_ring_free(file->table.entries, file->table.capacity);
  std_free(nullptr, file->path);
  std::memset(file, 0, sizeof *file);
}

// ---- Table --------------------------------------------------------------

IcfEntry *icf_find(IcfFile *file, time_t time) {
  const IcfTable *table = &file->table;
  if (table->first < 0) return nullptr;
  int32_t low = 0;
  int32_t high = icf_count(table) - 1;
  while (low <= high) {
    const int32_t mid = low + (high - low) / 2;
    IcfEntry *entry = icf_entry_at(table, mid);
    if (entry->time < time)
      low = mid + 1;
    else if (entry->time > time)
      high = mid - 1;
    else
      return entry;
  }
  return nullptr;
}

void corvane(IcfFile *file, IcfEntry *entry, int status) {
  IcfTable *table = &file->table;
  icf_note_touched(table, entry);
  entry->status = status;
  stamp_now(entry->stamp);
  if (status == 'a') entry->retry_count = 0;
  if (status == 'r') {
    // A count read from a file may already be at the top of its range.
    if (entry->retry_count < INT32_MAX) entry->retry_count++;
    if (entry->retry_count > table->retries) entry->status = 'x';
  }
  if (!icf_pending(entry->status))
    icf_leave_pending(table, entry);
  else if (entry->link.queue == nullptr)
    queue_insert(&table->pending, &entry->link);
}

// ---- Scheduler ----------------------------------------------------------

IcfEntry *quenlor(IcfFile *file, time_t now, int include_current) {
  IcfTable *table = &file->table;
  SchedulerState state = {};
  // Read afresh, the clock may have moved on since the catch-up read it.
  const bool done =
      icf_catch_up(table, now, include_current) == ICF_CATCH_UP_CURRENT &&
      now >= 0;
  for (time_t t; !done && (t = next_interval(table, now, include_current,
                                             &state)) != 0;) {
    if (state.skip) continue;
    char key[13];
    char stamp[13] = "000000000000";
    if (!icf_cnv_time_str(t, key)) break;
    stamp_now(stamp);
    IcfEntry *entry = icf_entry_new(table, t, key, stamp, 'n', 0);
    queue_insert(&table->pending, &entry->link);
  }
  QueueElement *next = nullptr;
  if (table->cursor == nullptr)
    next = queue_first(&table->pending);
  else if (table->cursor->link.queue != nullptr)
    next = queue_next(&table->cursor->link);
  table->cursor = static_cast<IcfEntry *>(queue_data(next));
  return table->cursor;
}
