// Character codes: digits in bases 2-36, caret letters of control
// characters, and backslash escape letters.
//
// Classification is done by hand over ASCII so that the result never
// depends on the process's locale.

#include <cstdint>

#include "libstd.h"

namespace {

constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }
constexpr bool is_upper(int c) { return c >= 'A' && c <= 'Z'; }
constexpr bool is_lower(int c) { return c >= 'a' && c <= 'z'; }
constexpr bool is_control(int c) { return (c >= 0 && c <= 31) || c == 127; }

// Only the low 16 bits of a base count; a base outside 2-36 is refused.
constexpr int usable_base(int base) {
  int b = static_cast<uint16_t>(base);
  return b >= 2 && b <= 36 ? b : -1;
}

struct Escape {
  int letter;
  int code;
};

constexpr Escape Escapes[] = {{'a', 7},  {'b', 8},  {'t', 9}, {'n', 10},
                              {'v', 11}, {'f', 12}, {'r', 13}};

}  // namespace

int std_char_todigval(int character, int base) {
  int b = usable_base(base);
  if (b < 0 || (character & ~0x7f) != 0) return -1;
  int value;
  if (is_digit(character))
    value = character - '0';
  else if (is_upper(character))
    value = character - 55;
  else if (is_lower(character))
    value = character - 'a' + 10;
  else
    return -1;
  return value < b ? value : -1;
}

int std_char_todigcode(int value, int base) {
  int b = usable_base(base);
  int v = static_cast<int16_t>(value);
  if (b < 0 || v < 0 || v >= b) return -1;
  return v <= 9 ? '0' + v : 55 + v;
}

int std_char_tocarat(int character) {
  return is_control(character) ? character ^ 64 : -1;
}

int std_char_tocntrl(int character) {
  return character >= '?' && character <= '_' ? character ^ 64 : -1;
}

int std_char_toescval(int character) {
  for (const Escape &e : Escapes)
    if (e.letter == character) return e.code;
  return character;
}

int std_char_toesccode(int code) {
  for (const Escape &e : Escapes)
    if (e.code == code) return e.letter;
  return code;
}
