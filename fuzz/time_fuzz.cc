// Interval keys and strptime forms from arbitrary text; the first byte picks
// the form. The output buffer of a form is a heap block of exactly its
// stated size, so a write past it is caught.
#include <cstring>
#include <vector>

#include "common.h"
#include "libicf.h"
#include "libstd.h"

namespace {

// A key read back formats to the same key (the instant may differ within a
// repeated hour). Keys name 1969-2068: another century names another time.
void key_round_trip(const char *text, int local) {
  time_t t, back;
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
    FUZZ_CHECK(icf_cnv_time(key, &back) == nullptr &&
               icf_cnv_time_str(back, again) && std::strcmp(key, again) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const char *const Formats[] = {"%Y-%m-%d %H:%M:%S", "%y%m%d%H%M%S",
                                        "%H:%M", "%s", "%j %Y"};
  if (size < 2) return 0;
  uint8_t mode = data[0], arg = data[1];
  std::string text(reinterpret_cast<const char *>(data) + 2, size - 2);
  const char *s = text.c_str();  // cut at the first NUL, as a caller's text
  if (mode % 2 == 0) {
    key_round_trip(s, 1);
    key_round_trip(s, 0);
    return 0;
  }
  // strptime, then strftime and the records
  const char *format = Formats[arg % std::size(Formats)];
  time_t t;
  StdTimeValue v;
  if (!std_time_parse(s, format, arg >> 7, &t, &v)) return 0;
  std::vector<char> buf(1 + (arg >> 3) % 40);
  int n = std_time_format(&t, &v, format, buf.data(), buf.size(), arg >> 7);
  FUZZ_CHECK(n == -1 || (size_t(n) < buf.size() && buf[n] == '\0'));
  if (std_time_break(&t, &v, arg >> 7)) std_time_make(&v, arg >> 7, &t);
  return 0;
}
