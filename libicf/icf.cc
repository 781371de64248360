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

int32_t Lock_Wait_Ms = 30000;

namespace {

// ---- Locking ------------------------------------------------------------

bool locks_unsupported(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL;
}

int64_t clock_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Opens `path` and takes the flock `operation` on it, waiting at most
// Lock_Wait_Ms for another run. A run holding the lock may replace the file
// by renaming a new one over it; the lock on the old one then guards
// nothing, so the path is opened again until it names the locked file.
int32_t lock_open(const char *path, int flags, int operation, int *fd_out) {
  const int64_t deadline = clock_ms() + Lock_Wait_Ms;
  for (;;) {
    int fd = open(path, flags | O_CLOEXEC, 0666);
    if (fd < 0) return ICF_ERR_INVALID;
    for (;;) {
      if (flock(fd, operation | LOCK_NB) == 0 || locks_unsupported(errno))
        break;
      const int error = errno;
      if (error == EINTR) continue;
      if (error != EWOULDBLOCK || clock_ms() >= deadline) {
        close(fd);
        return error == EWOULDBLOCK ? ICF_ERR_BUSY : ICF_ERR_INVALID;
      }
      const timespec nap = {0, 15 * 1000 * 1000};
      nanosleep(&nap, nullptr);
    }
    struct stat opened, named;
    if (fstat(fd, &opened) == 0 && stat(path, &named) == 0 &&
        opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
      *fd_out = fd;
      return ICF_ERR_NONE;
    }
    close(fd);
    if (clock_ms() >= deadline) return ICF_ERR_BUSY;
  }
}

// ---- Loading ------------------------------------------------------------

int32_t load(IcfFile *file, const char *path, bool writable) {
  char resolved[PATH_MAX];
  // The resolved path lets a commit replace the file a symlink points to,
  // not the symlink.
  if (path == nullptr || realpath(path, resolved) == nullptr)
    return ICF_ERR_INVALID;
  int fd;
  int32_t error = icf_lock_open(resolved, writable, &fd);
  if (error != ICF_ERR_NONE) return error;
  file->stream = fdopen(fd, writable ? "r+" : "r");
  if (file->stream == nullptr) {
    close(fd);
    return ICF_ERR_INVALID;
  }
  IcfTable *table = &file->table;
  // The ring needs a slot, and the scheduler would not end with a period
  // below one second.
  if (!icf_header_read(file->stream, table) || table->period < 1 ||
      table->capacity < 1)
    return ICF_ERR_INVALID;
  table->entries = static_cast<IcfEntry *>(std_calloc(
      nullptr, static_cast<uint32_t>(table->capacity), sizeof(IcfEntry)));
  if (table->entries == nullptr) return ICF_ERR_INVALID;
  table->first = table->last = -1;
  if (!icf_table_read(file->stream, table)) return ICF_ERR_INVALID;
  file->path = std_strdup(nullptr, resolved);
  return file->path != nullptr ? ICF_ERR_NONE : ICF_ERR_INVALID;
}

int open_file(IcfFile *file, const char *name, const char *path,
              bool writable) {
  std::memset(file, 0, sizeof *file);
  queue_create(&file->table.pending, &file->table, nullptr);
  if (name != nullptr) std_strcpy(file->name, sizeof file->name, name);
  int32_t error = load(file, path, writable);
  if (error != ICF_ERR_NONE) {
    icf_close(file);
    file->error = error;
    return 0;
  }
  return 1;
}

// ---- Writing back -------------------------------------------------------

ssize_t count_bytes(void *cookie, const char *, size_t size) {
  *static_cast<int64_t *>(cookie) += static_cast<int64_t>(size);
  return static_cast<ssize_t>(size);
}

// The length of the text the writers produce for `table`, or -1.
int64_t text_length(const IcfTable *table) {
  int64_t length = 0;
  cookie_io_functions_t io = {};
  io.write = count_bytes;
  FILE *counter = fopencookie(&length, "w", io);
  if (counter == nullptr) return -1;
  bool ok = icf_header_write(counter, table) && icf_table_write(counter, table);
  return fclose(counter) == 0 && ok ? length : -1;
}

int sync_directory(const char *path) {
  char directory[PATH_MAX];
  std_strcpy(directory, sizeof directory, path);
  char *slash = std::strrchr(directory, '/');
  if (slash == nullptr) return 0;
  slash[slash == directory ? 1 : 0] = '\0';
  int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  int ok = fsync(fd) == 0 || errno == EINVAL;
  close(fd);
  return ok;
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

// Writes the table into the new file `temp` (open on fd), syncs it and
// renames it over the checkpoint file, so that a reader or a crash finds
// either the old text or the new one, never a mixture.
int replace(IcfFile *file, int fd, const char *temp,
            const struct stat &original) {
  FILE *stream = fdopen(fd, "r+");
  if (stream == nullptr) {
    close(fd);
    unlink(temp);
    return 0;
  }
  // Lock before the rename: whatever the path names is always locked.
  bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0 || locks_unsupported(errno);
  if (fchown(fd, original.st_uid, original.st_gid) != 0) {
    // Best effort: only a privileged run can hand the file to its owner.
  }
  ok = ok && fchmod(fd, original.st_mode & 07777) == 0;
  SignalBlock blocked;
  ok = ok && icf_header_write(stream, &file->table) &&
       icf_table_write(stream, &file->table) && fsync(fd) == 0 &&
       rename(temp, file->path) == 0;
  if (!ok) {
    fclose(stream);
    unlink(temp);
    return 0;
  }
  fclose(file->stream);
  file->stream = stream;
  return sync_directory(file->path);
}

// For a directory the user cannot write: the file is rewritten where it is.
// The space for the new text is reserved first, so that a full disk or a
// file-size limit fails before the old text is touched.
int rewrite_in_place(IcfFile *file) {
  FILE *stream = file->stream;
  const int fd = fileno(stream);
  const int64_t length = text_length(&file->table);
  // Writes beyond a file-size limit fail even inside the old text.
  rlimit limit;
  if (length < 0 || getrlimit(RLIMIT_FSIZE, &limit) != 0 ||
      (limit.rlim_cur != RLIM_INFINITY &&
       static_cast<uint64_t>(length) > limit.rlim_cur))
    return 0;
  int error = posix_fallocate(fd, 0, length);
  if (error != 0 && error != EOPNOTSUPP && error != EINVAL) return 0;
  if (fseek(stream, 0, SEEK_SET) != 0 ||
      !icf_header_write(stream, &file->table))
    return 0;
  SignalBlock blocked;
  return icf_table_write(stream, &file->table) && ftell(stream) == length &&
         ftruncate(fd, length) == 0 && fsync(fd) == 0;
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
    const time_t reference = include_current ? now0 : now0 - period;
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
  const time_t limit = include_current ? now0 : now0 - period;
  return start <= limit ? start : 0;
}

// Moves the cursor off an entry that leaves the pending queue.
void leave_pending(IcfTable *table, IcfEntry *entry) {
  if (entry->link.queue != nullptr && table->cursor == entry)
    table->cursor =
        static_cast<IcfEntry *>(queue_data(queue_prev(&entry->link)));
  queue_remove(&entry->link);
}

}  // namespace

// ---- File ---------------------------------------------------------------

int icf_create(const char *path, int32_t period, int32_t capacity,
               int32_t retries) {
  IcfTable table = {};
  table.period = period;
  table.retries = retries;
  table.capacity = capacity;
  // A file that could never be opened is not worth creating.
  int fd;
  if (path == nullptr || period < 1 || capacity < 1 ||
      lock_open(path, O_WRONLY | O_CREAT, LOCK_EX, &fd) != ICF_ERR_NONE)
    return 0;
  FILE *stream = fdopen(fd, "w");
  if (stream == nullptr) {
    close(fd);
    return 0;
  }
  bool ok = ftruncate(fd, 0) == 0 && icf_header_write(stream, &table) &&
            fsync(fd) == 0;
  return fclose(stream) == 0 && ok;
}

int32_t icf_lock_open(const char *path, int writable, int *fd) {
  return lock_open(path, writable ? O_RDWR : O_RDONLY,
                   writable ? LOCK_EX : LOCK_SH, fd);
}

int icf_open(IcfFile *file, const char *name, const char *path) {
  return open_file(file, name, path, true);
}

int icf_open_readonly(IcfFile *file, const char *name, const char *path) {
  return open_file(file, name, path, false);
}

int icf_commit(IcfFile *file) {
  if (file == nullptr || file->stream == nullptr || file->path == nullptr)
    return 0;
  const int fd = fileno(file->stream);
  const int flags = fcntl(fd, F_GETFL);
  struct stat original;
  if (flags < 0 || (flags & O_ACCMODE) != O_RDWR || fstat(fd, &original) != 0)
    return 0;
  char temp[PATH_MAX + 8];
  if (std_snprintf(temp, sizeof temp, "%s.XXXXXX", file->path) < 0) return 0;
  const int temp_fd = mkostemp(temp, O_CLOEXEC);
  if (temp_fd >= 0) return replace(file, temp_fd, temp, original);
  if (errno == EACCES || errno == EPERM || errno == EROFS)
    return rewrite_in_place(file);
  return 0;
}

void icf_close(IcfFile *file) {
  if (file == nullptr) return;
  if (file->stream != nullptr) fclose(file->stream);
  std_free(nullptr, file->table.entries);
  std_free(nullptr, file->path);
  std::memset(file, 0, sizeof *file);
}

// ---- Table --------------------------------------------------------------

IcfEntry *icf_find(IcfFile *file, time_t time) {
  const IcfTable *table = &file->table;
  if (table->first < 0) return nullptr;
  const int32_t capacity = table->capacity;
  int32_t low = 0;
  int32_t high = (table->last - table->first + capacity) % capacity;
  while (low <= high) {
    const int32_t mid = low + (high - low) / 2;
    IcfEntry *entry = &table->entries[(table->first + mid) % capacity];
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
  entry->status = status;
  stamp_now(entry->stamp);
  if (status == 'a') entry->retry_count = 0;
  if (status == 'r') {
    // A count read from a file may already be at the top of its range.
    if (entry->retry_count < INT32_MAX) entry->retry_count++;
    if (entry->retry_count > table->retries) entry->status = 'x';
  }
  if (entry->status == 's' || entry->status == 'x')
    leave_pending(table, entry);
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
