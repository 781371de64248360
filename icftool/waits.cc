// The due intervals that wait for their upstream files. The file's table is
// brought up to date in memory as the runner's catch-up would, so that the
// intervals a stopped job has not appended yet are named too; nothing is
// written.
#include "waits.h"

#include <cstring>
#include <utility>

#include "tool.h"
#include "upstream.h"

UpstreamFiles::~UpstreamFiles() {
  upstreams_close(&ups);
  if (own_loaded) icf_close(&own);
}

bool UpstreamFiles::load(const std::vector<const char *> &given,
                         const char *path, std::string *why) {
  for (const char *up : given) ups.push_back(Upstream{up});
  if (!upstreams_apart(path, ups, why) || !upstreams_read(&ups, why))
    return false;
  own_loaded = !given.empty() && icf_open_readonly(&own, Prog, path);
  if (own_loaded) icf_release(&own);
  return true;
}

namespace {

// A due interval of the file, and the upstreams it waits for (their index
// and what they lack).
struct Waiting {
  time_t start, end;
  char key[13];
  std::vector<std::pair<size_t, UpstreamWait>> on;
};

// The file's due intervals that wait, its table caught up at `now` in
// memory.
std::vector<Waiting> waiting(UpstreamFiles &ups, time_t now) {
  std::vector<Waiting> found;
  if (!ups.own_loaded) return found;
  IcfFile *file = &ups.own;
  // An empty file is behind nothing: its grid starts with its first run.
  if (icf_count(&file->table) > 0) quenlor(file, now, 0);
  const IcfTable *table = &file->table;
  for (int32_t k = 0, n = icf_count(table); k < n; ++k) {
    const IcfEntry *e = icf_entry_at(table, k);
    const time_t end = icf_interval_end(table, e->time);
    if (!icf_pending(e->status) || end < 0 || end > now) continue;
    Waiting w = {e->time, end, {}, {}};
    std::memcpy(w.key, e->key, sizeof w.key);
    for (size_t i = 0; i < ups.ups.size(); ++i) {
      UpstreamWait wait;
      if (!upstream_ready(&ups.ups[i].file, e->time, end, &wait))
        w.on.emplace_back(i, wait);
    }
    if (!w.on.empty()) found.push_back(std::move(w));
  }
  return found;
}

// "retry", or why an interval the upstream does not hold counts as not done.
std::string why_text(const UpstreamWait &w) {
  return w.state == Upstream_Status ? status_text(w.status)
                                    : upstream_state_text(w.state);
}

// Consecutive waiting intervals told in one line: each next on the grid,
// waiting for the same upstreams for the same reason, on upstream intervals
// that follow or repeat those before.
struct Group {
  const Waiting *first, *last;
  int64_t count;
  std::vector<UpstreamWait> last_on;  // the newest wait of each upstream

  bool takes(const Waiting &w) const {
    if (w.start != last->end || w.on.size() != last->on.size()) return false;
    for (size_t i = 0; i < w.on.size(); ++i) {
      const UpstreamWait &a = last->on[i].second, &b = w.on[i].second;
      // All after the newest entry is not appended, all before the oldest
      // no longer held: there a gap between the waits says nothing new.
      const bool span =
          b.state == Upstream_Not_Appended || b.state == Upstream_Older;
      if (w.on[i].first != last->on[i].first || a.state != b.state ||
          a.status != b.status || (!span && b.start > last_on[i].end))
        return false;
    }
    return true;
  }
  bool older() const {
    for (const auto &[i, w] : first->on)
      if (w.state == Upstream_Older) return true;
    return false;
  }
};

std::vector<Group> groups(const std::vector<Waiting> &found) {
  std::vector<Group> all;
  for (const Waiting &w : found) {
    if (!all.empty() && all.back().takes(w)) {
      Group &g = all.back();
      g.last = &w;
      ++g.count;
      for (size_t i = 0; i < w.on.size(); ++i) g.last_on[i] = w.on[i].second;
      continue;
    }
    Group g = {&w, &w, 1, {}};
    for (const auto &on : w.on) g.last_on.push_back(on.second);
    all.push_back(std::move(g));
  }
  return all;
}

// "240610000000" or "240610000000 to 240610004500 (4 intervals)".
std::string subject(const Group &g) {
  if (g.count == 1) return g.first->key;
  return std::string(g.first->key) + " to " + g.last->key + " (" +
         std::to_string(g.count) + " intervals)";
}

// "hourly.icf 240610050000 (retry), exports.icf ... (not yet appended)".
std::string object(const UpstreamFiles &ups, const Group &g) {
  std::string text;
  for (size_t i = 0; i < g.last_on.size(); ++i) {
    const UpstreamWait &from = g.first->on[i].second, &to = g.last_on[i];
    text += (i > 0 ? ", " : "") +
            name_text(ups.ups[g.first->on[i].first].path) + " " + from.key;
    if (std::strcmp(from.key, to.key) != 0)
      text += std::string(" to ") + to.key;
    text += " (" + why_text(from) + ")";
  }
  return text;
}

void json_wait(std::string &s, const UpstreamFiles &ups, const Waiting &w) {
  s += "{\"key\": " + quote(w.key) + ", \"time\": " + std::to_string(w.start) +
       ", \"start\": " + quote(local_time(w.start)) + ", \"upstreams\": [";
  for (size_t i = 0; i < w.on.size(); ++i) {
    const UpstreamWait &u = w.on[i].second;
    s += (i > 0 ? ", " : "") + std::string("{\"file\": ") +
         quote(name_text(ups.ups[w.on[i].first].path)) +
         ", \"key\": " + quote(u.key) +
         ", \"time\": " + std::to_string(u.start) +
         ", \"why\": " + quote(why_text(u)) + ", \"letter\": " +
         (u.state == Upstream_Status ? quote(std::string(1, char(u.status)))
                                     : "null") +
         "}";
  }
  s += "]}";
}

}  // namespace

std::string waits_shown(UpstreamFiles &ups, time_t now, bool json) {
  if (ups.empty()) return "";
  const std::vector<Waiting> found = waiting(ups, now);
  std::string shown;
  if (json) {
    shown = ",\n  \"waiting\": [";
    for (size_t i = 0; i < found.size(); ++i) {
      shown += i > 0 ? ",\n    " : "\n    ";
      json_wait(shown, ups, found[i]);
    }
    return shown + (found.empty() ? "]" : "\n  ]");
  }
  for (const Group &g : groups(found))
    shown += "waiting: " + subject(g) + " for " + object(ups, g) + "\n";
  return found.empty() ? "waiting: none\n" : shown;
}

int waits_checked(UpstreamFiles &ups, const char *path, time_t now, FILE *out) {
  int findings = 0;
  const std::vector<Waiting> found = waiting(ups, now);
  for (const Group &g : groups(found)) {
    const bool older = g.older();
    findings += older;
    fprintf(out, "%s: %s %s for %s%s\n", path, subject(g).c_str(),
            g.count == 1 ? "waits" : "wait", object(ups, g).c_str(),
            older ? "; only an operator can settle that (icftool mark)" : "");
  }
  return findings;
}
