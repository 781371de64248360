// The text a process keeps between its saves of one file (the runner, once
// per interval). A turn changes an entry or two, drops the oldest and
// appends the newest; rendering the whole text for that, and reading the
// whole file back to see that no one else wrote it, cost more than the
// durable save itself on a large file. The kept text is patched instead:
// a changed line in place where its width holds, the dropped lines left
// behind the start, the new ones appended; the save writes it from there.

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "icf_internal.h"
#include "libicf.h"
#include "libstd.h"

struct IcfKept {
  char *text;  // the entry lines in ring order: text[begin, end)
  size_t room, begin, end;
  uint32_t *at;  // per ring slot: where its line starts in text
  int32_t capacity;
  bool ready;  // the text is the table's as the last prepare made it
  // The table when the text was made.
  int64_t appended;
  int32_t first, count, touched;
  size_t header_length;
  char header[ICF_RENDER_MIN];
  // The file the last save left.
  bool saved;
  bool unique;  // its modification time is one no other write can give
  dev_t dev;
  ino_t ino;
  off_t size;
  timespec mtime;
  IcfHash hash;           // of the text, where the time is not unique
  int64_t read_appended;  // table.appended at the last load or reopen
};

namespace {

int32_t position(const IcfTable *t, int32_t slot) {
  return (slot - t->first + t->capacity) % t->capacity;
}

// Room for `extra` more bytes after the end: the lines left behind the
// start are moved out of the way first when they make a quarter of the
// room, else the room grows by a quarter more than needed.
bool reserve(IcfKept *k, const IcfTable *t, int32_t lines, size_t extra) {
  if (k->end + extra <= k->room) return true;
  if (k->begin > 0 && k->begin >= k->room / 4) {
    std::memmove(k->text, k->text + k->begin, k->end - k->begin);
    for (int32_t i = 0; i < lines; ++i)
      k->at[(t->first + i) % t->capacity] -= static_cast<uint32_t>(k->begin);
    k->end -= k->begin;
    k->begin = 0;
    if (k->end + extra <= k->room) return true;
  }
  const size_t need = k->end + extra;
  const size_t room = need + need / 4 + 64 * 1024;
  if (room > UINT32_MAX) return false;
  char *text = static_cast<char *>(
      std_realloc(nullptr, k->text, static_cast<uint32_t>(room)));
  if (text == nullptr) return false;
  k->text = text;
  k->room = room;
  return true;
}

// Appends the lines of the entries at positions from..count-1.
bool append(IcfKept *k, const IcfTable *t, int32_t from, int32_t count) {
  if (!reserve(k, t, from, static_cast<size_t>(count - from) * ICF_RENDER_MIN))
    return false;
  for (int32_t i = from; i < count; ++i) {
    const int32_t slot = (t->first + i) % t->capacity;
    k->at[slot] = static_cast<uint32_t>(k->end);
    k->end += icf_render_entry(&t->entries[slot], k->text + k->end);
  }
  return true;
}

bool rebuild(IcfKept *k, const IcfTable *t) {
  k->ready = false;
  if (k->at == nullptr || k->capacity != t->capacity) {
    std_free(nullptr, k->at);
    const uint64_t bytes = uint64_t(t->capacity) * sizeof *k->at;
    k->at = bytes > UINT32_MAX ? nullptr
                               : static_cast<uint32_t *>(std_malloc(
                                     nullptr, static_cast<uint32_t>(bytes)));
    k->capacity = k->at == nullptr ? 0 : t->capacity;
    if (k->at == nullptr) return false;
  }
  k->begin = k->end = 0;
  const int32_t count = icf_count(t);
  if (!append(k, t, 0, count)) return false;
  k->ready = true;
  return true;
}

// Brings the text from the table it was made of to `t`; false when the
// changes cannot be told or a changed line's width differs.
bool patch(IcfKept *k, const IcfTable *t) {
  const int32_t count = icf_count(t);
  const int64_t fresh = t->appended - k->appended;
  if (!k->ready || k->capacity != t->capacity || fresh < 0 || fresh > count ||
      t->touched_count > ICF_TOUCHED)
    return false;
  // The entries of the old text still in the ring, now the oldest.
  const int32_t old = count - static_cast<int32_t>(fresh);
  if (old > k->count ||
      (old > 0 && (k->first + k->count - old) % t->capacity != t->first))
    return false;
  for (int32_t i = 0; i < t->touched_count; ++i) {
    const int32_t slot = t->touched[i];
    if (slot < 0 || slot >= t->capacity) return false;
    const int32_t p = position(t, slot);
    if (p >= old) continue;  // new, and appended below
    const size_t from = k->at[slot];
    const size_t to = p + 1 < old ? k->at[(slot + 1) % t->capacity] : k->end;
    char line[ICF_RENDER_MIN];
    const size_t n = icf_render_entry(&t->entries[slot], line);
    if (n != to - from) return false;
    std::memcpy(k->text + from, line, n);
  }
  k->begin = old > 0 ? k->at[t->first] : k->end;
  return append(k, t, old, count);
}

bool write_pieces(int fd, iovec *piece, int pieces, off_t offset) {
  while (pieces > 0) {
    const ssize_t n = pwritev(fd, piece, pieces, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    offset += n;
    for (size_t left = static_cast<size_t>(n); pieces > 0;) {
      if (left < piece->iov_len) {
        piece->iov_base = static_cast<char *>(piece->iov_base) + left;
        piece->iov_len -= left;
        break;
      }
      left -= piece->iov_len;
      ++piece;
      --pieces;
    }
    while (pieces > 0 && piece->iov_len == 0) ++piece, --pieces;
  }
  return true;
}

bool before(const timespec &a, const timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Whether the queue is in ring order around `e`: the queue was in file
// order after the load, and only the entries changed or appended since
// can have joined it elsewhere.
bool queued_in_order(const IcfTable *t, IcfEntry *e) {
  if (e->link.queue == nullptr) return true;
  const int32_t p = position(t, static_cast<int32_t>(e - t->entries));
  const auto *prev = static_cast<IcfEntry *>(queue_data(queue_prev(&e->link)));
  const auto *next = static_cast<IcfEntry *>(queue_data(queue_next(&e->link)));
  return (prev == nullptr ||
          position(t, static_cast<int32_t>(prev - t->entries)) < p) &&
         (next == nullptr ||
          position(t, static_cast<int32_t>(next - t->entries)) > p);
}

// What the reader would make of the entry's own line (see icf_reopen).
void as_read(IcfTable *t, IcfEntry *e) {
  if (e->time != static_cast<uint32_t>(e->time))
    e->time = static_cast<uint32_t>(e->time);
  if (e->status != static_cast<unsigned char>(e->status))
    e->status = static_cast<unsigned char>(e->status);
  if (e->status == 'a') {
    const time_t was = e->time;
    icf_cnv_time(e->key, &e->time);
    if (e->time != was) icf_note_touched(t, e);  // its line changes
  }
}

}  // namespace

void icf_keep(IcfFile *file) {
  if (file == nullptr || file->kept != nullptr) return;
  file->kept = static_cast<IcfKept *>(std_malloc(nullptr, sizeof(IcfKept)));
  if (file->kept == nullptr) return;
  std::memset(file->kept, 0, sizeof(IcfKept));
  file->kept->read_appended = file->table.appended;
  file->table.touched_count = 0;
}

bool icf_kept_prepare(IcfFile *file) {
  IcfKept *k = file->kept;
  const IcfTable *t = &file->table;
  k->header_length = icf_render_header(t, k->header);
  if (!patch(k, t) && !rebuild(k, t)) {
    icf_kept_lost(k);
    return false;
  }
  k->appended = t->appended;
  k->first = t->first;
  k->count = icf_count(t);
  k->touched = t->touched_count;
  return true;
}

bool icf_kept_ready(const IcfKept *kept) {
  return kept != nullptr && kept->ready;
}

uint64_t icf_kept_length(const IcfKept *kept) {
  return kept->header_length + (kept->end - kept->begin);
}

bool icf_kept_write(const IcfKept *kept, int fd, bool hold_first) {
  const size_t skip = hold_first ? 1 : 0;
  iovec piece[2] = {
      {const_cast<char *>(kept->header) + skip, kept->header_length - skip},
      {kept->text + kept->begin, kept->end - kept->begin}};
  return write_pieces(fd, piece, 2, static_cast<off_t>(skip));
}

void icf_kept_saved(IcfFile *file, int fd) {
  IcfKept *k = file->kept;
  struct stat st;
  k->saved = false;
  if (!k->ready || fstat(fd, &st) != 0) return;
  // Every later write is stamped with the clock's time at that moment, so
  // with no earlier time than the one this write got: a nanosecond (or
  // the file system's least step) before it is a time only this save has.
  // A file system that stores coarser times rounds it down.
  const timespec written = st.st_mtim;
  timespec times[2] = {{0, UTIME_OMIT}, written};
  times[1].tv_nsec--;
  if (times[1].tv_nsec < 0) times[1].tv_sec--, times[1].tv_nsec += 1000000000;
  const bool set = futimens(fd, times) == 0;
  if (fstat(fd, &st) != 0) return;
  k->unique = set && before(st.st_mtim, written);
  k->hash = IcfHash{};
  if (!k->unique) {
    icf_hash_add(&k->hash, k->header, k->header_length);
    if (k->end > k->begin)
      icf_hash_add(&k->hash, k->text + k->begin, k->end - k->begin);
  }
  k->dev = st.st_dev;
  k->ino = st.st_ino;
  k->size = st.st_size;
  k->mtime = st.st_mtim;
  k->saved = true;
}

void icf_kept_lost(IcfKept *kept) {
  if (kept == nullptr) return;
  kept->ready = false;
  kept->saved = false;
}

IcfKeptMatch icf_kept_match(const IcfFile *file, int fd, const IcfHash **hash) {
  const IcfKept *k = file->kept;
  const IcfTable *t = &file->table;
  struct stat st;
  if (k == nullptr || !k->saved || t->appended != k->appended ||
      t->touched_count != k->touched || fstat(fd, &st) != 0 ||
      st.st_dev != k->dev || st.st_ino != k->ino || st.st_size != k->size ||
      st.st_mtim.tv_sec != k->mtime.tv_sec ||
      st.st_mtim.tv_nsec != k->mtime.tv_nsec)
    return ICF_KEPT_OTHER;
  *hash = &k->hash;
  return k->unique ? ICF_KEPT_SAME : ICF_KEPT_HASH;
}

bool icf_kept_as_read(IcfFile *file) {
  IcfKept *k = file->kept;
  IcfTable *t = &file->table;
  const int32_t count = icf_count(t);
  const int64_t fresh = t->appended - k->read_appended;
  const int32_t touched = t->touched_count;
  bool known = touched <= ICF_TOUCHED && fresh >= 0 && fresh <= count;
  int32_t slots[ICF_TOUCHED];
  for (int32_t i = 0; known && i < touched; ++i) {
    slots[i] = t->touched[i];
    known = slots[i] >= 0 && slots[i] < t->capacity;
  }
  t->touched_count = 0;
  k->read_appended = t->appended;
  if (!known) {
    icf_kept_lost(k);  // the caller's look at every entry touches none
    return false;
  }
  t->cursor = nullptr;
  bool in_order = true;
  for (int32_t i = 0; i < touched; ++i) {
    IcfEntry *e = &t->entries[slots[i]];
    as_read(t, e);
    in_order = in_order && queued_in_order(t, e);
  }
  for (int32_t p = count - static_cast<int32_t>(fresh); p < count; ++p) {
    IcfEntry *e = icf_entry_at(t, p);
    as_read(t, e);
    in_order = in_order && queued_in_order(t, e);
  }
  if (!in_order) icf_queue_rebuild(t);
  return true;
}

void icf_kept_free(IcfKept *kept) {
  if (kept == nullptr) return;
  std_free(nullptr, kept->text);
  std_free(nullptr, kept->at);
  std_free(nullptr, kept);
}
