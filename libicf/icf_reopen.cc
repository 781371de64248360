// Taking a released file up again. A program that saves, lets the file go
// and comes back to it (the runner, once per interval) would otherwise read
// and parse the whole text it has just written itself. For a kept file
// (icf_keep) the inode, size and modification time the save left tell
// whether anyone else wrote meanwhile; for any other, the bytes' hash
// under the lock.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "icf_internal.h"
#include "libicf.h"
#include "libstd.h"

namespace {

// Whether the file open as `fd` holds exactly the text of `saved`.
bool holds(int fd, const IcfHash &saved) {
  struct stat st;
  if (saved.size == 0 || fstat(fd, &st) != 0 ||
      static_cast<uint64_t>(st.st_size) != saved.size)
    return false;
  IcfHash read{};
  char buffer[1 << 16];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    icf_hash_add(&read, buffer, static_cast<size_t>(n));
    at += n;
  }
  return read.size == saved.size &&
         icf_hash_value(&read) == icf_hash_value(&saved);
}

// Gives the table what the reader would make of its own text: the time
// column holds 32 bits, the status a byte, an 'a' entry takes its time from
// its key (where a person may have edited it), and the pending queue runs
// in file order, whatever order the updates since the load queued it in.
// Entries are only written where they differ, as they mostly do not.
void as_read(IcfTable *table) {
  table->cursor = nullptr;
  QueueElement *queued = queue_first(&table->pending);
  bool in_order = true;
  for (int32_t k = 0, n = icf_count(table); k < n; ++k) {
    IcfEntry *entry = icf_entry_at(table, k);
    if (entry->time != static_cast<uint32_t>(entry->time))
      entry->time = static_cast<uint32_t>(entry->time);
    if (entry->status != static_cast<unsigned char>(entry->status))
      entry->status = static_cast<unsigned char>(entry->status);
    if (entry->status == 'a') icf_cnv_time(entry->key, &entry->time);
    if (icf_pending(entry->status)) {
      in_order = in_order && queued == &entry->link;
      if (queued != nullptr) queued = queue_next(queued);
    }
  }
  if (!in_order || queued != nullptr) icf_queue_rebuild(table);
}

int load_afresh(IcfFile *file) {
  char name[sizeof file->name];
  std::memcpy(name, file->name, sizeof name);
  char *path = file->path;
  const bool kept = file->kept != nullptr;
  file->path = nullptr;
  icf_close(file);
  const int ok = icf_open(file, name, path);
  std_free(nullptr, path);
  if (ok && kept) icf_keep(file);
  return ok ? 2 : 0;
}

// Whether the file open as `fd` holds the text the last commit wrote: for
// a kept file known by what its save left, else (also when there was no
// memory to keep the text) by the hash of the text written.
bool unchanged(const IcfFile *file, int fd) {
  const IcfHash *hash = nullptr;
  switch (file->kept == nullptr ? ICF_KEPT_OTHER
                                : icf_kept_match(file, fd, &hash)) {
    case ICF_KEPT_SAME:
      return true;
    case ICF_KEPT_HASH:
      return holds(fd, *hash);
    case ICF_KEPT_OTHER:
      break;
  }
  return holds(fd, file->saved);
}

}  // namespace

int icf_reopen(IcfFile *file) {
  if (file == nullptr) return 0;
  if (file->stream != nullptr || file->path == nullptr ||
      file->table.entries == nullptr ||
      (file->kept == nullptr && file->saved.size == 0))
    return load_afresh(file);
  int fd;
  const IcfFault fault = icf_lock_open(file->path, 1, &fd);
  if (fault != ICF_FAULT_NONE) {
    const int error = errno;
    icf_close(file);
    file->failure = {fault, 0, 0, fault == ICF_FAULT_SYSTEM ? error : 0};
    return 0;
  }
  // Another program's text is loaded whole; the lock is let go for that
  // moment, and the load reads whatever the file holds then.
  if (!unchanged(file, fd)) {
    close(fd);
    return load_afresh(file);
  }
  file->stream = fdopen(fd, "r+");
  if (file->stream == nullptr) {
    const int error = errno;
    close(fd);
    icf_close(file);
    file->failure = {ICF_FAULT_SYSTEM, 0, 0, error};
    return 0;
  }
  if (file->kept == nullptr || !icf_kept_as_read(file)) as_read(&file->table);
  return 1;
}
