// Standard output set aside, and reading passwords from the terminal or standard input.
#include "terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "system.h"

namespace nb::nbctl {

namespace {

// One line from `fd`, byte by byte so nothing after the line is consumed.
std::optional<std::string> ReadLineFrom(int fd) {
  std::string line;
  char c = 0;
  for (;;) {
    ssize_t got = ::read(fd, &c, 1);
    // An interruption ends the read (nbctl then withdraws what it registered and ends).
    if (got < 0 && errno == EINTR && !Interrupted()) continue;
    if (got < 0) return std::nullopt;
    if (got <= 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
    if (c == '\n') break;
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

FILE* TakeStandardOutput(bool verbose) {
  std::fflush(stdout);
  int saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved < 0) return stdout;
  int target = verbose ? ::dup(STDERR_FILENO) : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (target >= 0) {
    ::dup2(target, STDOUT_FILENO);
    ::close(target);
  }
  FILE* out = ::fdopen(saved, "w");
  return out ? out : stdout;
}

std::optional<std::string> ReadSecret(const std::string& prompt, bool fromStdin) {
  if (fromStdin) return ReadLineFrom(STDIN_FILENO);
  int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty < 0) return std::nullopt;
  termios before{};
  bool quiet = ::tcgetattr(tty, &before) == 0;
  if (quiet) {
    termios silent = before;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    silent.c_lflag |= ECHONL;
    ::tcsetattr(tty, TCSAFLUSH, &silent);
  }
  [[maybe_unused]] ssize_t shown = ::write(tty, prompt.data(), prompt.size());
  std::optional<std::string> line = ReadLineFrom(tty);
  if (quiet) ::tcsetattr(tty, TCSAFLUSH, &before);
  ::close(tty);
  return line;
}

std::optional<std::string> ReadLine(const std::string& prompt) {
  int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty < 0) return std::nullopt;
  [[maybe_unused]] ssize_t shown = ::write(tty, prompt.data(), prompt.size());
  std::optional<std::string> line = ReadLineFrom(tty);
  ::close(tty);
  return line;
}

}  // namespace nb::nbctl
