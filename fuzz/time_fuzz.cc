// Interval keys, strptime/strftime texts and date-time fields from
// arbitrary text. The first byte picks the form; every output buffer is
// exactly as large as its size says, so a write past it is caught.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "libicf.h"
#include "libstd.h"

namespace {

const char *const Formats[] = {
    "%Y-%m-%d %H:%M:%S", "%y%m%d%H%M%S", "%d/%m/%Y", "%H:%M", "%s", "%j %Y",
    "%a %b %e %T %Y",
};

// A key that a time formats to reads back as a time that formats to the
// same key (the instant may differ only within a repeated hour).
void key_round_trip(const char *text, int local) {
  time_t t;
  if (!std_time_parse(text, nullptr, local, &t, nullptr)) {
    FUZZ_CHECK(t == 0);
    return;
  }
  // Keys name 1969-2068 only: a key formatted from another century names a
  // different time, possibly one that a spring change skips.
  StdTimeValue v;
  char key[13], again[13];
  if (t == 0 || !std_time_break(&t, &v, local) || v.year < 1969 ||
      v.year > 2068 ||
      std_time_format(&t, nullptr, nullptr, key, 13, local) != 12)
    return;
  time_t back;
  FUZZ_CHECK(std_time_parse(key, nullptr, local, &back, nullptr));
  if (back == 0) return;  // the epoch: a time of 0 formats as the clock
  FUZZ_CHECK(std_time_format(&back, nullptr, nullptr, again, 13, local) == 12);
  FUZZ_CHECK(std::strcmp(key, again) == 0);
  if (local) {  // the checkpoint library's wrappers agree
    time_t via;
    FUZZ_CHECK(icf_cnv_time(key, &via) == nullptr);
    FUZZ_CHECK(icf_cnv_time_str(via, again) && std::strcmp(key, again) == 0);
  }
}

// Formats into a heap block of exactly `size` bytes.
int dt_format(int32_t seconds, const char *format, uint32_t size,
              std::string *out) {
  std::vector<char> buf(size);
  int n = std_dt_format(&seconds, format, buf.data(), size);
  if (n >= 0) {
    FUZZ_CHECK(uint32_t(n) < size && std::strlen(buf.data()) == size_t(n));
    out->assign(buf.data(), n);
  } else if (size > 0) {
    FUZZ_CHECK(std::memchr(buf.data(), 0, size) != nullptr);
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  uint8_t mode = data[0], arg = data[1];
  std::string text(reinterpret_cast<const char *>(data) + 2, size - 2);
  const char *s = text.c_str();  // cut at the first NUL, as a caller's text
  switch (mode % 4) {
    case 0:  // interval keys, local and UTC
      key_round_trip(s, 1);
      key_round_trip(s, 0);
      break;
    case 1: {  // strptime, then strftime and the record conversions
      const char *format = Formats[arg % std::size(Formats)];
      int local = arg >> 7;
      time_t t;
      StdTimeValue v;
      if (!std_time_parse(s, format, local, &t, &v)) break;
      uint32_t n = 1 + (arg >> 3) % 40;
      std::vector<char> buf(n);
      int len = std_time_format(&t, &v, format, buf.data(), n, local);
      FUZZ_CHECK(len == -1 || (uint32_t(len) < n && buf[len] == '\0'));
      if (std_time_break(&t, &v, local)) std_time_make(&v, local, &t);
      break;
    }
    case 2: {  // ddddhhmmss: what reads in range writes back the same
      int32_t seconds;
      if (!std_dt_parse(s, nullptr, &seconds)) break;
      std::string out;
      int n = dt_format(seconds, nullptr, 11 + arg % 3, &out);
      if (seconds < 0 || seconds > 863999999) {
        FUZZ_CHECK(n == -1);
        break;
      }
      FUZZ_CHECK(n == 10);
      int32_t back;
      FUZZ_CHECK(std_dt_parse(out.c_str(), nullptr, &back) && back == seconds);
      break;
    }
    case 3: {  // the field language: a format, a newline, then the text
      size_t cut = text.find('\n');
      if (cut == std::string::npos) break;
      std::string format = text.substr(0, cut);
      int32_t seconds;
      if (!std_dt_parse(text.c_str() + cut + 1, format.c_str(), &seconds))
        seconds = int32_t(fuzz_hash(data, size));
      std::string out;
      dt_format(seconds, format.c_str(), arg % 48, &out);
      break;
    }
  }
  return 0;
}
