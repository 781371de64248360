#include "cli_notice.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

// A zone file: what the C library loads before it reads a rule.
bool zone_file(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  char magic[4];
  const bool ok =
      read(fd, magic, sizeof magic) == 4 && std::memcmp(magic, "TZif", 4) == 0;
  close(fd);
  return ok;
}

// The reading of a POSIX TZ rule: std offset [dst [offset] [,rule,rule]].
struct Rule {
  const char *p;

  bool digits(int most, long low, long high) {
    long v = 0;
    int n = 0;
    while (n < most && std::isdigit(static_cast<unsigned char>(*p)))
      v = v * 10 + (*p++ - '0'), ++n;
    return n > 0 && v >= low && v <= high;
  }
  bool name() {
    if (*p == '<') {
      const char *end = std::strchr(++p, '>');
      if (end == nullptr || end - p < 3) return false;
      for (; p < end; ++p)
        if (!std::isalnum(static_cast<unsigned char>(*p)) && *p != '+' &&
            *p != '-')
          return false;
      ++p;
      return true;
    }
    const char *start = p;
    while (std::isalpha(static_cast<unsigned char>(*p))) ++p;
    return p - start >= 3;
  }
  // [+-]hh[:mm[:ss]]; the hours of a rule's time reach 167.
  bool clock(long hours) {
    if (*p == '+' || *p == '-') ++p;
    if (!digits(3, 0, hours)) return false;
    for (int i = 0; i < 2 && *p == ':'; ++i)
      if (++p, !digits(2, 0, 59)) return false;
    return true;
  }
  bool date() {
    bool ok;
    if (*p == 'J') {
      ++p;
      ok = digits(3, 1, 365);
    } else if (*p == 'M') {
      ++p;
      ok = digits(2, 1, 12) && *p++ == '.' && digits(1, 1, 5) && *p++ == '.' &&
           digits(1, 0, 6);
    } else {
      ok = digits(3, 0, 365);
    }
    return ok && (*p != '/' || (++p, clock(167)));
  }
  bool whole() {
    if (!name() || !clock(24)) return false;
    if (*p == '\0') return true;
    if (!name()) return false;
    if (*p != ',' && *p != '\0' && !clock(24)) return false;
    if (*p == '\0') return true;
    return *p++ == ',' && date() && *p++ == ',' && date() && *p == '\0';
  }
};

}  // namespace

bool cli_zone_known(const char *tz) {
  if (tz == nullptr) return true;
  const char *name = tz[0] == ':' ? tz + 1 : tz;
  if (*name == '\0' || std::strcmp(name, "UTC") == 0 ||
      std::strcmp(name, "GMT") == 0)
    return true;
  if (name[0] == '/') return zone_file(name);
  const char *dir = std::getenv("TZDIR");
  if (zone_file(std::string(dir != nullptr && *dir != '\0'
                                ? dir
                                : "/usr/share/zoneinfo") +
                "/" + name))
    return true;
  Rule rule = {tz};
  return tz[0] != ':' && rule.whole();
}

std::string cli_zone_text(const char *tz) {
  return std::string("Unknown time zone: TZ=") + (tz != nullptr ? tz : "") +
         " (no such zone file, and not a rule such as "
         "EST5EDT,M3.2.0,M11.1.0)";
}

std::string cli_dropped_text(const IcfDropped &d) {
  std::string text = std::to_string(d.count) +
                     (d.count == 1 ? " interval" : " intervals") +
                     " dropped unprocessed from the ring: " + d.first_key;
  if (d.count > 1) text += std::string(" to ") + d.last_key;
  return text;
}
