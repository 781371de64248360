// A program's command line, one word per line ("@" is the scratch file),
// run in process on a seed checkpoint file; the program's main is compiled
// in as PROGRAM_MAIN. "-t <now>" comes first, and a later -t counts only
// within a day of it: a far one would keep the scheduler busy for long.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <vector>

#include "common.h"
#include "libicf.h"

int PROGRAM_MAIN(int argc, char *argv[]);

namespace {

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
    "PERIOD=300\nENTRIES=4\nRETRIES=2\n",
};

// Whether a -t value among the options, read the way getopt will, is far.
bool far_clock(const std::vector<std::string> &words) {
  for (size_t i = 3; i < words.size(); i++) {
    const std::string &w = words[i];
    if (w.size() < 2 || w[0] != '-' || w == "--") break;
    size_t j = w.find_first_of(PROGRAM_VALUES, 1);
    if (j == std::string::npos) continue;
    std::string value = w.substr(j + 1);
    if (value.empty() && i + 1 < words.size()) value = words[++i];
    time_t when;
    icf_cnv_time(value.c_str(), &when);
    if (w[j] == 't' && (when < Fuzz_Clock - 86400 || when > Fuzz_Clock + 86400))
      return true;
  }
  return false;
}

// What a run wrote to a memory file, which is emptied for the next run.
std::string take(int fd) {
  std::string text(lseek(fd, 0, SEEK_END), '\0');
  FUZZ_CHECK(pread(fd, text.data(), text.size(), 0) == ssize_t(text.size()));
  FUZZ_CHECK(ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const int Out = memfd_create("out", 0), Err = memfd_create("err", 0),
                   Redirected = dup2(Out, 1);  // libFuzzer writes to stderr
  static const std::regex Line("(\\d{12}|0)( \\S+){0,2}\n");
  FUZZ_CHECK(Redirected == 1);
  if (size < 1 || std::memchr(data, 0, size) != nullptr) return 0;
  const char *seed = Seeds[data[0] % std::size(Seeds)];
  std::vector<std::string> words{PROGRAM_NAME, "-t", "241103103010"};
  std::istringstream in(std::string((const char *)data + 1, size - 1));
  for (std::string w; std::getline(in, w);)
    words.push_back(w == "@" ? Fuzz_Path : w);
  if (far_clock(words)) return 0;
  fuzz_write(seed, std::strlen(seed));
  int fd = fuzz_free_fd();
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  int saved = dup(2);
  dup2(Err, 2);
  optind = 0;  // glibc: start the next getopt loop afresh
  int status = PROGRAM_MAIN(int(argv.size() - 1), argv.data());
  std::fflush(nullptr);
  dup2(saved, 2);
  close(saved);
  FUZZ_CHECK(fuzz_free_fd() == fd);
  // A failure says why on one line and leaves the file as it was; a success
  // prints one output line, or nothing, or the usage text.
  std::string out = take(Out), err = take(Err);
  if (status == 1)
    FUZZ_CHECK(out.empty() && !err.empty() &&
               err.find('\n') == err.size() - 1 && fuzz_read() == seed);
  else
    FUZZ_CHECK(status == 0 &&
               (err.empty() ? out.empty() || std::regex_match(out, Line)
                            : out.empty() && err.starts_with("Usage: ")));
  IcfFile file;  // whatever the run did, the file still loads
  FUZZ_CHECK(icf_open(&file, "FUZZ", Fuzz_Path));
  icf_close(&file);
  return 0;
}
