// The record of the runner's lock and the note naming its holder.
#include "run_holder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "libicf.h"

namespace {

// What /proc/PID/stat tells of a process.
struct Process {
  char state;
  pid_t group;
  uint64_t start;  // clock ticks since boot
};

bool process(pid_t pid, Process *p) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%ld/stat", long(pid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[1024];
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  // The name in parentheses may hold spaces and parentheses itself.
  const char *rest = std::strrchr(text, ')');
  long group;
  unsigned long long start;
  if (rest == nullptr ||
      std::sscanf(rest + 1,
                  " %c %*s %ld %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s "
                  "%*s %*s %*s %*s %*s %llu",
                  &p->state, &group, &start) != 3)
    return false;
  p->group = pid_t(group);
  p->start = start;
  return true;
}

// An ended process holds nothing, though its zombie waits to be reaped.
bool ended(const Process &p) { return std::strchr("ZXx", p.state) != nullptr; }

// The process `pid` that started at `start`, not another one given its id
// since.
bool lives(pid_t pid, uint64_t start) {
  Process p;
  return pid != getpid() && process(pid, &p) && p.start == start && !ended(p);
}

// "BOOT PIDNS": what process ids and starts count in here, or "- -" when
// /proc shows no such thing, or not this process's own namespace.
std::string system_id() {
  char self[24], boot[40];
  const ssize_t n = readlink("/proc/self", self, sizeof self - 1);
  if (n <= 0) return "- -";
  self[n] = '\0';
  struct stat ns;
  const int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
  const ssize_t got = fd >= 0 ? read(fd, boot, sizeof boot - 1) : -1;
  if (fd >= 0) close(fd);
  if (std::strtol(self, nullptr, 10) != getpid() || got < 36 ||
      stat("/proc/self/ns/pid", &ns) != 0)
    return "- -";
  return std::string(boot, 36) + " " + std::to_string(ns.st_ino);
}

// The programs' hash, to tell a record read whole from one read while it
// was written.
uint64_t sum(const std::string &text) {
  IcfHash h = {};
  icf_hash_add(&h, text.data(), text.size());
  return icf_hash_value(&h);
}

struct Holder {
  char host[256];
  long pid;
  long long since;
  char start[24], system[96];
  std::vector<std::pair<pid_t, uint64_t>> groups;
};

// The record in `text` when it is whole and its sum matches.
bool parse(const std::string &text, Holder *h) {
  const size_t end = text.find("\n= ");
  unsigned long long checked;
  char boot[40], ns[24];
  if (end == std::string::npos ||
      std::sscanf(text.c_str() + end + 3, "%16llx\n", &checked) != 1 ||
      checked != sum(text.substr(0, end + 1)) ||
      std::sscanf(text.c_str(), "%255s %ld %lld %23s %39s %23s", h->host,
                  &h->pid, &h->since, h->start, boot, ns) != 6)
    return false;
  std::snprintf(h->system, sizeof h->system, "%s %s", boot, ns);
  h->groups.clear();
  for (size_t at = text.find('\n'); at < end; at = text.find('\n', at + 1)) {
    long pid;
    unsigned long long start;
    if (std::sscanf(text.c_str() + at + 1, "%ld %llu", &pid, &start) == 2)
      h->groups.push_back({pid_t(pid), start});
  }
  return true;
}

enum Read { Nothing, Runner_Only, Whole };

// Whole, or, from a record without a matching sum (as older runners wrote
// it, or one being written through the tries), its first three fields.
Read read_record(int fd, Holder *h) {
  std::string text;
  for (int tries = 3; fd >= 0 && tries > 0; --tries) {
    text.assign(64 * 1024, '\0');
    const ssize_t n = pread(fd, text.data(), text.size(), 0);
    text.resize(n > 0 ? size_t(n) : 0);
    if (parse(text, h)) return Whole;
    if (text.find("\n= ") == std::string::npos) break;
    const timespec nap = {0, 5 * 1000 * 1000};
    nanosleep(&nap, nullptr);
  }
  return std::sscanf(text.c_str(), "%255s %ld %lld", h->host, &h->pid,
                     &h->since) == 3
             ? Runner_Only
             : Nothing;
}

bool has_open(pid_t pid, const struct stat &lock) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%ld/fd", long(pid));
  DIR *dir = opendir(path);
  if (dir == nullptr) return false;
  bool open = false;
  for (dirent *e; !open && (e = readdir(dir)) != nullptr;) {
    struct stat st;
    open = e->d_name[0] != '.' && fstatat(dirfd(dir), e->d_name, &st, 0) == 0 &&
           st.st_dev == lock.st_dev && st.st_ino == lock.st_ino;
  }
  closedir(dir);
  return open;
}

// The live process of the recorded groups that has the lock file open, or
// 0: a leader first, then any other process of a group that started no
// earlier than its leader (before that, the group's id was not its).
// Processes whose descriptors this user may not look at are not named.
pid_t holding(int fd, const Holder &h) {
  struct stat lock;
  if (fstat(fd, &lock) != 0) return 0;
  for (const auto &[group, start] : h.groups)
    if (lives(group, start) && has_open(group, lock)) return group;
  DIR *dir = opendir("/proc");
  if (dir == nullptr) return 0;
  pid_t found = 0;
  for (dirent *e; found == 0 && (e = readdir(dir)) != nullptr;) {
    char *end;
    const long pid = std::strtol(e->d_name, &end, 10);
    Process p;
    if (*end != '\0' || pid <= 0 || pid == getpid() || !process(pid, &p) ||
        ended(p))
      continue;
    for (const auto &[group, start] : h.groups)
      if (p.group == group && p.start >= start && has_open(pid, lock))
        found = pid_t(pid);
  }
  closedir(dir);
  return found;
}

// "10:15" today, "2024-06-01 10:15" on another day.
std::string when(long long since) {
  const time_t t = static_cast<time_t>(since), now = time(nullptr);
  struct tm at, today;
  char text[32] = "?";
  if (localtime_r(&t, &at) != nullptr && localtime_r(&now, &today)) {
    const bool same_day =
        at.tm_year == today.tm_year && at.tm_yday == today.tm_yday;
    strftime(text, sizeof text, same_day ? "%H:%M" : "%Y-%m-%d %H:%M", &at);
  }
  return text;
}

}  // namespace

HolderRecord holder_record() {
  char host[256] = "?";
  if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "?");
  host[sizeof host - 1] = '\0';
  for (char *c = host; *c != '\0'; ++c)
    if (*c == ' ' || *c == '\n') *c = '_';
  Process self;
  HolderRecord r;
  r.head = std::string(host) + " " + std::to_string(getpid()) + " " +
           std::to_string(time(nullptr)) + " " +
           (process(getpid(), &self) ? std::to_string(self.start) : "-") + " " +
           system_id();
  r.size = SIZE_MAX;  // a former runner's record may be longer
  return r;
}

void holder_write(int fd, HolderRecord *record,
                  const std::vector<pid_t> &running) {
  if (record->head.empty()) return;
  std::vector<std::pair<pid_t, uint64_t>> groups;
  for (const pid_t pid : running) {
    const auto known = std::find_if(
        record->groups.begin(), record->groups.end(),
        [pid](const std::pair<pid_t, uint64_t> &g) { return g.first == pid; });
    Process p;
    if (known != record->groups.end())
      groups.push_back(*known);
    else if (process(pid, &p))
      groups.push_back({pid, p.start});
  }
  record->groups = std::move(groups);
  std::string text = record->head + "\n";
  for (const auto &[pid, start] : record->groups)
    text += std::to_string(pid) + " " + std::to_string(start) + "\n";
  char line[24];
  std::snprintf(line, sizeof line, "= %016" PRIx64 "\n", sum(text));
  text += line;
  // Cut after the new text is in place, not before: a reader meanwhile
  // finds the sum line, and ignores the old bytes after it.
  if (pwrite(fd, text.data(), text.size(), 0) != ssize_t(text.size()) ||
      (text.size() < record->size && ftruncate(fd, off_t(text.size())) != 0))
    record->head.clear();  // no record then: the lock holds all the same
  record->size = text.size();
}

std::string holder_note(int fd, const char *shown) {
  Holder h;
  const Read got = read_record(fd, &h);
  const std::string busy = std::string(" is busy with ") + shown + "; leaving";
  if (got == Nothing) return "Another runner" + busy;
  const std::string runner = std::to_string(h.pid);
  // Elsewhere (another host or namespace) a process cannot be looked at.
  char *end;
  const uint64_t start = std::strtoull(h.start, &end, 10);
  if (got == Runner_Only || *end != '\0' || h.system[0] == '-' ||
      h.system != system_id() || lives(pid_t(h.pid), start))
    return "Another runner (host " + std::string(h.host) + ", pid " + runner +
           ", since " + when(h.since) + ")" + busy;
  const pid_t holder = holding(fd, h);
  const std::string lock = std::string("The lock on ") + shown + " is held";
  if (holder > 0)
    return lock + " by pid " + std::to_string(holder) +
           ", a command of runner " + runner + ", which is gone; leaving";
  return lock + ", not by runner " + runner + ", which is gone; leaving";
}
