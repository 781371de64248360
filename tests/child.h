// Big files of quarter-hours and a health check.
#pragma once

#include <unistd.h>

#include "libicf.h"
#include "program_test.h"

constexpr time_t Jan1 = 1704085200;  // 2024-01-01 00:00 EST

inline std::string key_of(time_t t) {
  char key[13];
  return icf_cnv_time_str(t, key) ? key : "";
}

// `count` new quarter-hours from Jan1 on, 3 retries, a ring of `capacity`.
inline std::string quarter_hours(int count, int capacity) {
  std::string text =
      "PERIOD=900\nENTRIES=" + std::to_string(capacity) + "\nRETRIES=3\n";
  for (int i = 0; i < count; i++) text += entry(key_of(Jan1 + 900 * i), 'n');
  return text;
}

// What is wrong with a checkpoint file: it does not open, its entries do
// not ascend, or an entry line is torn. Empty when it is healthy.
inline std::string unhealthy(const std::string &path) {
  IcfFile f;
  if (!icf_open_readonly(&f, "TEST", path.c_str())) return "does not open";
  const IcfTable *t = &f.table;
  bool sorted = true;
  for (int32_t k = 1; k < icf_count(t); k++)
    sorted &= icf_entry_at(t, k - 1)->time < icf_entry_at(t, k)->time;
  icf_close(&f);
  if (!sorted) return "entries out of order";
  std::ifstream text(path);
  std::string l;
  for (int n = 1; std::getline(text, l); n++)
    if (n > 3 && (l.size() != 41 || l[12] != ' ' || l[21] != ' ' ||
                  l[23] != ' ' || l[36] != ' ' ||
                  l.find_first_not_of("0123456789abcdef nsrax") != l.npos))
      return "torn line " + std::to_string(n) + ": " + l;
  return "";
}
