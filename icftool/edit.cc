// icftool edit: a hand edit of a checkpoint file that cannot break it or
// lose a run's update, also the repair of one the programs refuse. The editor
// works on a copy, without the lock; the copy is saved only when check passes
// it and the file has not changed.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"
#include "tool.h"

namespace {

bool write_all(int fd, const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool read_all(int fd, std::string *text) {
  char buf[65536];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    text->append(buf, size_t(n));
    at += n;
  }
}

// Runs the user's editor on `path` as a shell would, so that a value such
// as "emacs -nw" works. True when it exits 0.
bool run_editor(const char *path) {
  const char *editor = getenv("VISUAL");
  if (editor == nullptr || *editor == '\0') editor = getenv("EDITOR");
  if (editor == nullptr || *editor == '\0') editor = "vi";
  const std::string line = std::string(editor) + " \"$1\"";
  fflush(nullptr);
  // A ^C meant for the editor must not end the edit behind its back.
  struct sigaction ignore = {}, old_int, old_quit;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &old_int);
  sigaction(SIGQUIT, &ignore, &old_quit);
  const pid_t pid = fork();
  if (pid == 0) {
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    execl("/bin/sh", "sh", "-c", line.c_str(), "sh", path, nullptr);
    _exit(127);
  }
  int status = -1;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Asks whether to edit again; only a user at a terminal can answer.
bool edit_again() {
  if (!isatty(STDIN_FILENO)) return false;
  for (;;) {
    fputs("Edit again (e) or abandon (a)? ", stdout);
    fflush(stdout);
    char answer[64];
    if (fgets(answer, sizeof answer, stdin) == nullptr) return false;
    if (answer[0] == 'e') return true;
    if (answer[0] == 'a') return false;
  }
}

// Saves the checked copy into the file under its lock, unless a run
// changed the file since `original` was read. Empty, or why not.
std::string save(const char *path, const char *copy,
                 const std::string &original) {
  // Unread, so that a file the programs refuse can be mended too.
  IcfFile file, edited;
  if (!icf_open_unread(&file, Prog, path))
    return cli_failure_text(file.failure, path, true);
  std::string now;
  if (!read_all(fileno(file.stream), &now) || now != original) {
    icf_close(&file);
    return std::string(path) + " changed during the edit";
  }
  if (!icf_open(&edited, Prog, copy)) {
    icf_close(&file);
    return cli_failure_text(edited.failure, copy, true);
  }
  const bool ok = icf_adopt(&file, &edited) && icf_commit(&file);
  icf_close(&edited);
  icf_close(&file);
  return ok ? "" : std::string("Cannot write checkpoint file: ") + path;
}

}  // namespace

int cmd_edit(const Settings &, int, char **operands) {
  const char *path = operands[0];
  std::string original, why;
  if (!inspect(path, &original, &why)) return cli_fail(Prog, "%s", why.c_str());

  const char *dir = getenv("TMPDIR");
  const char *base = strrchr(path, '/');
  std::string copy =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/" +
      (base != nullptr ? base + 1 : path) + ".XXXXXX";
  const int fd = mkostemp(copy.data(), O_CLOEXEC);
  if (fd < 0)
    return cli_fail(Prog, "Cannot create a copy: %s", strerror(errno));
  const bool copied = write_all(fd, original);
  if (close(fd) != 0 || !copied) {
    unlink(copy.c_str());
    return cli_fail(Prog, "Cannot write a copy: %s", copy.c_str());
  }
  for (;;) {
    if (!run_editor(copy.c_str()))
      return cli_fail(Prog,
                      "The editor failed; not saved; the copy is kept: %s",
                      copy.c_str());
    std::string edited;
    if (!inspect(copy.c_str(), &edited, &why))
      return cli_fail(Prog, "%s; not saved", why.c_str());
    if (edited == original) {
      unlink(copy.c_str());
      return finish_output();
    }
    if (check_text(path, Text{edited}, Limits{}, stdout) == 0) break;
    fflush(stdout);
    if (!edit_again())
      return cli_fail(Prog, "Not saved; the edited copy is kept: %s",
                      copy.c_str());
  }
  if (std::string why = save(path, copy.c_str(), original); !why.empty())
    return cli_fail(Prog, "%s; not saved; the edited copy is kept: %s",
                    why.c_str(), copy.c_str());
  unlink(copy.c_str());
  return finish_output();
}
