// What the icftool commands share.
#include "tool.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "libstd.h"

const char *Prog = "icftool";

int open_failure(const IcfFailure &failure, const char *path) {
  return cli_fail(Prog, "%s", cli_failure_text(failure, path, true).c_str());
}

int finish_output() {
  return cli_flush_output() ? 0 : cli_fail(Prog, "%s", Cli_Output_Failure);
}

// A whole decimal word that fits 32 bits and is at least `low`.
bool number(const char *text, int32_t low, int32_t *value) {
  const char *end = text + strlen(text);
  auto [stop, error] = std::from_chars(text, end, *value);
  return error == std::errc() && stop == end && stop != text && *value >= low;
}

// The interval key that the programs write for time t.
std::string key_of(time_t t) {
  char key[13];
  return icf_key_text(t, key) ? key : "";
}

std::string local_time(time_t t, TimeForm form) {
  const bool iso = form == TimeForm::Iso;
  struct tm tm;
  char text[40];
  if (localtime_r(&t, &tm) == nullptr ||
      strftime(text, sizeof text,
               iso ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S %Z", &tm) == 0)
    return iso ? "" : "?";
  if (!iso) return text;
  // The offset rather than the zone's name, so that the two passes of a
  // repeated hour differ.
  const int offset = int(tm.tm_gmtoff < 0 ? -tm.tm_gmtoff : tm.tm_gmtoff);
  char zone[16];
  snprintf(zone, sizeof zone, "%c%02d:%02d", tm.tm_gmtoff < 0 ? '-' : '+',
           offset / 3600 % 100, offset / 60 % 60);
  return text + std::string(zone);
}

const char *const Status_Words[] = {"new", "done", "retry", "again", "failed"};

// A status letter in quotes, with an unprintable byte in hexadecimal.
std::string letter_text(int status) {
  char buf[16];
  if (status > ' ' && status < 0x7f)
    snprintf(buf, sizeof buf, "'%c'", status);
  else
    snprintf(buf, sizeof buf, "'\\x%02x'", status & 0xff);
  return buf;
}

std::string status_text(int status) {
  int i = status_index(status);
  return i != Unknown_Status ? Status_Words[i]
                             : "unknown " + letter_text(status);
}

namespace {

// Length of the valid UTF-8 sequence at s, or 0.
size_t utf8_length(std::string_view s) {
  auto byte = [&](size_t i) -> unsigned { return (unsigned char)s[i]; };
  unsigned lead = byte(0);
  size_t n = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
  if (lead < 0xc2 || lead > 0xf4 || s.size() < n) return 0;
  unsigned low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
  unsigned high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < n; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  return n;
}

}  // namespace

// A JSON string. Bytes that are not UTF-8 become the code points of the
// same value, so the document stays valid whatever a file holds.
std::string quote(std::string_view s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    unsigned char c = s[i];
    size_t n = c >= 0x80 ? utf8_length(s.substr(i)) : 0;
    if (n > 0) {
      out += s.substr(i, n);
      i += n;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
    ++i;
  }
  return out + '"';
}

std::string name_text(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = s[i];
    const size_t n = c >= 0x80 ? utf8_length(s.substr(i)) : 1;
    if (n > 0) {
      out += c == '\\' ? std::string_view("\\\\") : s.substr(i, n);
      i += n;
      continue;
    }
    char buf[8];
    snprintf(buf, sizeof buf, "\\x%02x", c);
    out += buf;
    ++i;
  }
  return out;
}

Tally::Tally(const IcfTable &h) : header(h) {
  icf_survey_init(&survey, h.period, h.capacity);
}

Tally::~Tally() { icf_survey_free(&survey); }

void Tally::begin(const IcfTable &h) {
  icf_survey_free(&survey);
  icf_survey_init(&survey, h.period, h.capacity);
  header = h;
  records = 0;
  total = 0;
  std::memset(by_status, 0, sizeof by_status);
  pending = done = false;
  oldest_pending = last_done = newest = 0;
  oldest_key[0] = '\0';
}

void Tally::add(const IcfRecord &rec, time_t time) {
  // Beyond ENTRIES the table is counted again once the pass is over.
  if (++records > header.capacity) return;
  ++total;
  ++by_status[status_index(rec.status)];
  if (icf_pending(rec.status) && !pending) {
    pending = true;
    oldest_pending = time;
    std::memcpy(oldest_key, rec.key, sizeof oldest_key);
  }
  if (rec.status == 's') {
    done = true;
    last_done = time;
  }
  newest = time;
  icf_survey_add(&survey, time, rec.status, rec.stamp);
}

bool Tally::settle(const Text &text, uint64_t offset, int32_t line) {
  if (records > header.capacity) {
    const int64_t all = records, skip = records - header.capacity;
    begin(header);
    IcfReader in;
    text.read(&in, offset, line);
    int64_t k = 0;
    for (IcfRecord rec; icf_read_record(&in, &rec); ++k)
      if (k >= skip) add(rec, icf_record_time(&rec));
    records = all;
  }
  return !survey.failed;
}

void Tally::due(time_t now, IcfDue *due) const {
  icf_survey_due(&survey, now, due);
}

Bytes::~Bytes() { icf_inspect_free(data, size); }

bool inspect(const char *path, Bytes *bytes, std::string *why) {
  IcfFailure failure;
  if (icf_inspect(path, &bytes->data, &bytes->size, &failure)) return true;
  *why = cli_failure_text(failure, path, true);
  return false;
}

bool inspect(const char *path, std::string *text, std::string *why) {
  Bytes bytes;
  if (!inspect(path, &bytes, why)) return false;
  text->assign(bytes.data, bytes.size);
  return true;
}

void Text::read(IcfReader *reader, uint64_t offset, int32_t line) const {
  if (look != nullptr) return icf_look_read(look, reader, offset, line);
  icf_reader_init(reader, whole.data(), whole.size());
  reader->pos = offset < whole.size() ? size_t(offset) : whole.size();
  reader->line = line;
}

uint64_t Text::offset(const IcfReader &reader) const {
  return look != nullptr ? icf_look_offset(look, &reader) : reader.pos;
}

bool Text::marked() const {
  return look != nullptr ? look->marked != 0
                         : !whole.empty() && whole[0] == ICF_SAVE_MARK;
}

bool look(const char *path, IcfLook *look, std::string *why) {
  IcfFailure failure;
  if (icf_look_open(look, path, &failure)) return true;
  *why = cli_failure_text(failure, path, true);
  return false;
}

std::string look_failure(const IcfLook &look, const char *path) {
  if (look.error == 0) return "";
  return cli_failure_text({ICF_FAULT_SYSTEM, 0, 0, look.error}, path, true);
}

bool key_option(const char *text, time_t *t) {
  // The programs read any text they cannot read as the clock: here a typo
  // would stretch a range to now, so only keys and their leading fields
  // that name a time on the local clock are taken.
  const size_t n = strlen(text);
  return n >= 2 && n <= 12 && n % 2 == 0 && strspn(text, "0123456789") == n &&
         icf_cnv_key(text, t) == nullptr;
}

std::string entries_text(int n) {
  return std::to_string(n) + (n == 1 ? " entry" : " entries");
}

int64_t lag_of(const IcfDue &due, time_t now) {
  return due.oldest_end >= 0 && now > due.oldest_end
             ? int64_t(now) - due.oldest_end
             : 0;
}
