// A program's command line from arbitrary words, run in process on a copy
// of a seed checkpoint file. The program's source is compiled into this
// harness with its main renamed to PROGRAM_MAIN.
//
// The input is one word per line. The word "@" stands for the scratch
// file's path. "-t <now>" always comes first so that runs do not depend on
// the clock; a later -t from the input counts only within a day of it, as
// a far one would keep the scheduler busy for a long time.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "libicf.h"

int PROGRAM_MAIN(int argc, char *argv[]);

namespace {

// Seed checkpoint files: quarter-hours with every status and a retry
// waiting, hours across the autumn change, and days.
const char *const Seeds[] = {
    "PERIOD=900\nENTRIES=96\nRETRIES=3\n"
    "241103083000 67277ad8 s 241103084512 0000\n"
    "241103084500 67277e5c r 241103090110 0002\n"
    "241103090000 672781e0 n 241103091501 0000\n"
    "241103091500 67278564 a 241103093002 0000\n"
    "241103093000 672788e8 x 241103094501 0004\n"
    "241103094500 67278c6c r 241103100001 0003\n",
    "PERIOD=3600\nENTRIES=24\nRETRIES=1\n"
    "241102230000 6726e730 s 241103000001 0000\n"
    "241103000000 6726f540 s 241103010001 0000\n"
    "241103010000 67270350 n 241103020001 0000\n"
    "241103010000 67271160 n 241103020001 0000\n"
    "241103020000 67271f70 r 241103030001 0001\n",
    "PERIOD=86400\nENTRIES=7\nRETRIES=0\n"
    "241031000000 672300c0 s 241101000001 0000\n"
    "241101000000 67245240 n 241102000001 0000\n",
    "PERIOD=300\nENTRIES=4\nRETRIES=2\n",
};

constexpr char Now[] = "241103103010";

// The -t values this command line gives, read the way getopt will.
std::vector<std::string> t_values(const std::vector<std::string> &words,
                                  const char *with_value) {
  std::vector<std::string> found;
  for (size_t i = 0; i < words.size(); i++) {
    const std::string &w = words[i];
    if (w.size() < 2 || w[0] != '-' || w == "--") break;
    for (size_t j = 1; j < w.size(); j++) {
      if (std::strchr(with_value, w[j]) == nullptr) continue;
      std::string value = w.substr(j + 1);
      if (value.empty() && i + 1 < words.size()) value = words[++i];
      if (w[j] == 't') found.push_back(value);
      break;
    }
  }
  return found;
}

int Out_Fd = -1, Err_Fd = -1;

// What a run wrote to a descriptor; the descriptor is emptied for the next.
std::string take(int fd) {
  std::string text(lseek(fd, 0, SEEK_END), '\0');
  FUZZ_CHECK(pread(fd, text.data(), text.size(), 0) == ssize_t(text.size()));
  FUZZ_CHECK(ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0);
  return text;
}

// One output line: a key or "0", then the period and the flag as asked.
bool output_line(const std::string &s) {
  size_t i = 0, n = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) i++;
  if (!(s.starts_with("0 ") || s == "0\n" || i == 12)) return false;
  for (char ch : s.substr(i)) n += ch == ' ';
  return n <= 2 && s.back() == '\n' && s.find('\n') == s.size() - 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_setup();
  Out_Fd = memfd_create("stdout", 0);
  Err_Fd = memfd_create("stderr", 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const char *path = fuzz_path();
  const char *seed = Seeds[data[0] % std::size(Seeds)];
  std::vector<std::string> words{PROGRAM_NAME, "-t", Now};
  std::string word;
  for (size_t i = 1; i < size; i++) {
    if (data[i] == 0) return 0;  // no word of a real command line has one
    if (data[i] != '\n') {
      word += char(data[i]);
      continue;
    }
    words.push_back(word == "@" ? path : word);
    word.clear();
  }
  if (!word.empty()) words.push_back(word == "@" ? path : word);
  for (const std::string &t :
       t_values({words.begin() + 3, words.end()}, PROGRAM_VALUES)) {
    time_t when;
    icf_cnv_time(t.c_str(), &when);
    if (when < Fuzz_Clock - 86400 || when > Fuzz_Clock + 86400) return 0;
  }

  fuzz_write(path, seed, std::strlen(seed));
  fuzz_mark_fds();
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  std::fflush(stdout);
  std::fflush(stderr);
  int saved_out = dup(1), saved_err = dup(2);
  dup2(Out_Fd, 1);
  dup2(Err_Fd, 2);
  optind = 0;  // glibc: start the next getopt loop afresh
  int status = PROGRAM_MAIN(int(argv.size() - 1), argv.data());
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  fuzz_check_fds();

  // A failure says why on one line and leaves the file as it was; a
  // success prints one output line, or nothing, or the usage text.
  std::string out = take(Out_Fd), err = take(Err_Fd);
  if (status == 1) {
    FUZZ_CHECK(out.empty() && !err.empty());
    FUZZ_CHECK(err.find('\n') == err.size() - 1);
    FUZZ_CHECK(fuzz_read(path) == seed);
  } else {
    FUZZ_CHECK(status == 0);
    FUZZ_CHECK(err.empty() ? out.empty() || output_line(out)
                           : out.empty() && err.starts_with("Usage: "));
  }
  // Whatever the run did, the file still loads.
  IcfFile file;
  FUZZ_CHECK(icf_open(&file, "FUZZ", path));
  icf_close(&file);
  return 0;
}
