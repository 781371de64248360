// icftool show: a checkpoint file in readable form or as JSON.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "libicf.h"
#include "tool.h"

namespace {

void show_text(const IcfTable &table, const IcfDue &due, time_t now) {
  const Counts c = count(table);
  const IcfEntry *oldest = c.oldest_pending;
  for (int32_t k = 0; k < c.total; ++k) {
    const IcfEntry &e = *icf_entry_at(&table, k);
    printf("%-12s  %s  %-7s %4d  %s\n", e.key, local_time(e.time).c_str(),
           status_text(e.status).c_str(), e.retry_count, e.stamp);
  }
  printf("PERIOD=%d ENTRIES=%d RETRIES=%d\n", table.period, table.capacity,
         table.retries);
  printf("%d %s", c.total, c.total == 1 ? "entry" : "entries");
  for (int i = 0; i <= Unknown_Status; ++i)
    if (i < Unknown_Status || c.by_status[i] > 0)
      printf("%s %d %s", i == 0 ? ":" : ",", c.by_status[i],
             i < Unknown_Status ? Status_Words[i] : "unknown");
  if (oldest != nullptr)
    printf("\noldest pending: %s  %s\n", oldest->key,
           local_time(oldest->time).c_str());
  else
    printf("\noldest pending: none\n");
  printf("due: %lld interval%s, lag %lld s\n", (long long)due.intervals,
         due.intervals == 1 ? "" : "s", (long long)lag_of(due, now));
  printf("last change: %s\n",
         due.last_change >= 0 ? local_time(due.last_change).c_str() : "none");
}

std::string json_interval(const IcfEntry &e) {
  return "\"key\": " + quote(e.key) + ", \"time\": " + std::to_string(e.time) +
         ", \"start\": " + quote(local_time(e.time));
}

void show_json(const char *path, const IcfTable &table, const IcfDue &due,
               time_t now) {
  const Counts c = count(table);
  const IcfEntry *oldest = c.oldest_pending;
  std::string out = "{\n  \"file\": " + quote(name_text(path)) + ",\n";
  out += "  \"header\": {\"PERIOD\": " + std::to_string(table.period) +
         ", \"ENTRIES\": " + std::to_string(table.capacity) +
         ", \"RETRIES\": " + std::to_string(table.retries) + "},\n";
  out += "  \"entries\": [";
  for (int32_t k = 0; k < c.total; ++k) {
    const IcfEntry &e = *icf_entry_at(&table, k);
    std::string letter(1, char(e.status));
    out += k == 0 ? "\n" : ",\n";
    out += "    {" + json_interval(e) +
           ", \"status\": " + quote(status_text(e.status)) +
           ", \"letter\": " + quote(letter) +
           ", \"retry_count\": " + std::to_string(e.retry_count) +
           ", \"stamp\": " + quote(e.stamp) + "}";
  }
  out += c.total > 0 ? "\n  ],\n" : "],\n";
  out += "  \"count\": {\"total\": " + std::to_string(c.total);
  for (int i = 0; i <= Unknown_Status; ++i)
    out += ", " + quote(i < Unknown_Status ? Status_Words[i] : "unknown") +
           ": " + std::to_string(c.by_status[i]);
  out += "},\n";
  out += "  \"oldest_pending\": " +
         (oldest != nullptr ? "{" + json_interval(*oldest) + "}" : "null") +
         ",\n";
  out += "  \"due_intervals\": " + std::to_string(due.intervals) +
         ", \"lag\": " + std::to_string(lag_of(due, now)) +
         ", \"last_change\": " +
         (due.last_change >= 0 ? std::to_string(due.last_change) : "null") +
         "\n}\n";
  fputs(out.c_str(), stdout);
}

}  // namespace

int cmd_show(const Settings &s, int, char **operands) {
  const bool json = s.json;
  time_t now = s.now;
  const char *path = operands[0];
  // Printed without the lock: a pipe read slowly must not hold up the runs.
  IcfFile file;
  if (!icf_inspect(&file, path, nullptr, nullptr))
    return open_failure(file.failure, path);
  if (now < 0) now = time(nullptr);
  IcfDue due;
  icf_due(&file.table, now, &due);
  if (json)
    show_json(path, file.table, due, now);
  else
    show_text(file.table, due, now);
  icf_close(&file);
  return finish_output();
}
