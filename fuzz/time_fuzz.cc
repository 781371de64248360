// Interval keys, strptime forms and date-time fields from arbitrary text;
// the first byte picks the form. Output buffers are heap blocks of exactly
// their stated size, so a write past one is caught.
#include <cstring>
#include <vector>

#include "common.h"
#include "libicf.h"
#include "libstd.h"

namespace {

// A key read back formats to the same key (the instant may differ within a
// repeated hour). Keys name 1969-2068: another century names another time.
void key_round_trip(const char *text, int local) {
  time_t t, back, via;
  StdTimeValue v;
  char key[13], again[13];
  if (!std_time_parse(text, nullptr, local, &t, nullptr))
    return FUZZ_CHECK(t == 0);
  if (t == 0 || !std_time_break(&t, &v, local) || v.year < 1969 ||
      v.year > 2068 ||
      std_time_format(&t, nullptr, nullptr, key, 13, local) != 12)
    return;
  FUZZ_CHECK(std_time_parse(key, nullptr, local, &back, nullptr));
  if (back == 0) return;  // the epoch: a time of 0 formats as the clock
  FUZZ_CHECK(std_time_format(&back, nullptr, nullptr, again, 13, local) == 12 &&
             std::strcmp(key, again) == 0);
  if (local)
    FUZZ_CHECK(icf_cnv_time(key, &via) == nullptr &&
               icf_cnv_time_str(via, again) && std::strcmp(key, again) == 0);
}

int dt_format(int32_t seconds, const char *format, uint32_t size,
              std::string *out) {
  std::vector<char> buf(size);
  int n = std_dt_format(&seconds, format, buf.data(), size);
  if (n >= 0) {
    FUZZ_CHECK(uint32_t(n) < size && std::strlen(buf.data()) == size_t(n));
    out->assign(buf.data(), n);
  } else {
    FUZZ_CHECK(size == 0 || std::memchr(buf.data(), 0, size) != nullptr);
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const char *const Formats[] = {
      "%Y-%m-%d %H:%M:%S", "%y%m%d%H%M%S", "%d/%m/%Y", "%H:%M", "%s", "%j %Y",
      "%a %b %e %T %Y"};
  if (size < 2) return 0;
  uint8_t mode = data[0], arg = data[1];
  std::string text(reinterpret_cast<const char *>(data) + 2, size - 2), out;
  const char *s = text.c_str();  // cut at the first NUL, as a caller's text
  int32_t seconds, back;
  if (mode % 4 == 0) {
    key_round_trip(s, 1);
    key_round_trip(s, 0);
  } else if (mode % 4 == 1) {  // strptime, then strftime and the records
    const char *format = Formats[arg % std::size(Formats)];
    int local = arg >> 7;
    time_t t;
    StdTimeValue v;
    if (!std_time_parse(s, format, local, &t, &v)) return 0;
    uint32_t n = 1 + (arg >> 3) % 40;
    std::vector<char> buf(n);
    int len = std_time_format(&t, &v, format, buf.data(), n, local);
    FUZZ_CHECK(len == -1 || (uint32_t(len) < n && buf[len] == '\0'));
    if (std_time_break(&t, &v, local)) std_time_make(&v, local, &t);
  } else if (mode % 4 == 2) {  // ddddhhmmss in range writes back the same
    if (!std_dt_parse(s, nullptr, &seconds)) return 0;
    int n = dt_format(seconds, nullptr, 11 + arg % 3, &out);
    bool in_range = seconds >= 0 && seconds <= 863999999;
    FUZZ_CHECK(n == (in_range ? 10 : -1));
    FUZZ_CHECK(!in_range ||
               (std_dt_parse(out.c_str(), nullptr, &back) && back == seconds));
  } else if (size_t cut = text.find('\n'); cut != std::string::npos) {
    std::string format = text.substr(0, cut);  // format, newline, text
    if (!std_dt_parse(s + cut + 1, format.c_str(), &seconds))
      seconds = int32_t(fuzz_hash(data, size));
    dt_format(seconds, format.c_str(), arg % 48, &out);
  }
  return 0;
}
