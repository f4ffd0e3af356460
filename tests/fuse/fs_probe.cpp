// A small program that makes one file-system call on a path and prints its outcome, so
// tests can watch what a separate Linux process is answered: "ok", "ok:DATA" or the
// errno's name ("ENOENT").
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Fail() {
  std::printf("%s\n", strerrorname_np(errno));
  return 0;
}

int Ok(const std::string& data = {}) {
  std::printf(data.empty() ? "ok\n" : "ok:%s\n", data.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: fs_probe OP PATH [ARG]\n");
    return 2;
  }
  std::string op = argv[1];
  const char* path = argv[2];
  const char* arg = argc > 3 ? argv[3] : "";
  if (op == "stat") {
    struct stat st {};
    return stat(path, &st) == 0 ? Ok() : Fail();
  }
  if (op == "read") {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return Fail();
    char buffer[256];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) return Fail();
    return Ok(std::string(buffer, static_cast<size_t>(got)));
  }
  if (op == "write" || op == "append") {
    int fd = open(path, O_WRONLY | (op == "append" ? O_APPEND : 0));
    if (fd < 0) return Fail();
    return write(fd, arg, std::strlen(arg)) >= 0 ? Ok() : Fail();
  }
  if (op == "create") {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    return fd >= 0 ? Ok() : Fail();
  }
  if (op == "trunc-open") {
    int fd = open(path, O_WRONLY | O_TRUNC);
    return fd >= 0 ? Ok() : Fail();
  }
  if (op == "mkdir") return mkdir(path, 0755) == 0 ? Ok() : Fail();
  if (op == "rmdir") return rmdir(path) == 0 ? Ok() : Fail();
  if (op == "unlink") return unlink(path) == 0 ? Ok() : Fail();
  if (op == "rename") return rename(path, arg) == 0 ? Ok() : Fail();
  if (op == "link") return link(path, arg) == 0 ? Ok() : Fail();
  if (op == "symlink") return symlink(arg, path) == 0 ? Ok() : Fail();  // PATH is the new link, ARG its text
  if (op == "readlink") {
    char text[4096];
    ssize_t length = readlink(path, text, sizeof text);
    return length >= 0 ? Ok(std::string(text, static_cast<size_t>(length))) : Fail();
  }
  if (op == "lstat-type") {
    struct stat st {};
    if (lstat(path, &st) != 0) return Fail();
    return Ok(S_ISLNK(st.st_mode) ? "link" : S_ISDIR(st.st_mode) ? "dir" : "file");
  }
  if (op == "chmod") return chmod(path, 0600) == 0 ? Ok() : Fail();
  if (op == "truncate") return truncate(path, 1) == 0 ? Ok() : Fail();
  if (op == "utimens") return utimensat(AT_FDCWD, path, nullptr, 0) == 0 ? Ok() : Fail();
  if (op == "list") {
    DIR* dir = opendir(path);
    if (!dir) return Fail();
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    }
    if (errno) return Fail();
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const auto& name : names) joined += (joined.empty() ? "" : ",") + name;
    return Ok(joined.empty() ? "-" : joined);
  }
  std::fprintf(stderr, "fs_probe: unknown operation %s\n", op.c_str());
  return 2;
}
