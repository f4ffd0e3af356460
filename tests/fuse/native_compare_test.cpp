// On an unlocked volume ordinary programs behave as on a native folder: the same syscall
// sequences run in a native folder and on the mount, outcomes and errno compared; and
// common tools work in the mount.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "mount_fixture.h"

namespace nb::fuse::testing {
namespace {

// Records each call's outcome: its value (or "ok") or the errno's name.
class Transcript {
 public:
  explicit Transcript(std::string root) : root_(std::move(root)) {}
  std::string P(const std::string& relative) const { return root_ + "/" + relative; }
  long Call(const std::string& what, long result) {
    text_ += what + "=" + (result < 0 ? std::string(strerrorname_np(errno)) : std::to_string(result)) + " ";
    return result;
  }
  void Note(const std::string& what) { text_ += what + " "; }
  std::string Size(const std::string& relative) {
    struct stat st {};
    return stat(P(relative).c_str(), &st) == 0 ? std::to_string(st.st_size) : strerrorname_np(errno);
  }
  const std::string& Text() const { return text_; }

 private:
  std::string root_;
  std::string text_;
};

using Sequence = std::function<void(Transcript&)>;

void WriteFile(Transcript& t, const std::string& name, const std::string& data) {
  int fd = open(t.P(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  t.Call("open " + name, fd < 0 ? -1 : 0);
  if (fd >= 0) {
    t.Call("write", write(fd, data.data(), data.size()));
    close(fd);
  }
}

// Opens and closes at once: 0 or -1 with errno.
long OpenClose(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags, 0644);
  if (fd < 0) return -1;
  close(fd);
  return 0;
}

std::string ReadAll(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return strerrorname_np(errno);
  std::string data;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<size_t>(got));
  close(fd);
  return data;
}

struct Case {
  const char* name;
  Sequence run;
};

const Case kCases[] = {
    {"open flags",
     [](Transcript& t) {
       t.Call("excl", OpenClose(t.P("f"), O_WRONLY | O_CREAT | O_EXCL));
       t.Call("excl again", OpenClose(t.P("f"), O_WRONLY | O_CREAT | O_EXCL));
       t.Call("missing", OpenClose(t.P("none"), O_RDONLY));
       t.Call("missing folder", OpenClose(t.P("no/f"), O_RDONLY | O_CREAT));
       WriteFile(t, "f", "0123456789");
       t.Call("trunc", OpenClose(t.P("f"), O_WRONLY | O_TRUNC));
       t.Note("size " + t.Size("f"));
       WriteFile(t, "g", "abc");
       int fd = open(t.P("g").c_str(), O_WRONLY | O_APPEND);
       t.Call("append", write(fd, "de", 2));
       close(fd);
       t.Note("g " + ReadAll(t.P("g")));
       mkdir(t.P("d").c_str(), 0755);
       t.Call("dir for writing", OpenClose(t.P("d"), O_WRONLY));
       t.Call("file as dir", OpenClose(t.P("g"), O_RDONLY | O_DIRECTORY));
       t.Call("below a file", OpenClose(t.P("g/x"), O_RDONLY));
     }},
    {"rename",
     [](Transcript& t) {
       WriteFile(t, "a", "A");
       WriteFile(t, "b", "B");
       t.Call("over file", rename(t.P("a").c_str(), t.P("b").c_str()));
       t.Note("b " + ReadAll(t.P("b")) + " a " + t.Size("a"));
       mkdir(t.P("d").c_str(), 0755);
       WriteFile(t, "d/in", "I");
       t.Call("dir", rename(t.P("d").c_str(), t.P("e").c_str()));
       t.Note("e/in " + ReadAll(t.P("e/in")));
       mkdir(t.P("full").c_str(), 0755);
       WriteFile(t, "full/x", "X");
       t.Call("file over dir", rename(t.P("b").c_str(), t.P("full").c_str()));
       t.Call("noreplace", renameat2(AT_FDCWD, t.P("b").c_str(), AT_FDCWD, t.P("full/x").c_str(), RENAME_NOREPLACE));
       t.Call("missing", rename(t.P("none").c_str(), t.P("z").c_str()));
       t.Call("into itself", rename(t.P("e").c_str(), t.P("e/sub").c_str()));
     }},
    {"unlink of an open file",
     [](Transcript& t) {
       WriteFile(t, "f", "data");
       int fd = open(t.P("f").c_str(), O_RDWR);
       t.Call("unlink", unlink(t.P("f").c_str()));
       t.Note("stat " + t.Size("f"));
       t.Call("write", pwrite(fd, "DA", 2, 0));
       char buffer[8] = {};
       t.Call("read", pread(fd, buffer, sizeof buffer, 0));
       t.Note(buffer);
       close(fd);
       t.Call("unlink again", unlink(t.P("f").c_str()));
     }},
    {"re-create a name while the unlinked file is open",
     [](Transcript& t) {
       WriteFile(t, "f", "one");
       int fd = open(t.P("f").c_str(), O_RDONLY);
       t.Call("unlink", unlink(t.P("f").c_str()));
       WriteFile(t, "f", "two");
       t.Call("create excl", OpenClose(t.P("f"), O_WRONLY | O_CREAT | O_EXCL));
       char buffer[8] = {};
       t.Call("read old", pread(fd, buffer, sizeof buffer - 1, 0));
       t.Note(buffer);
       t.Note("new " + ReadAll(t.P("f")));
       t.Note("reopened " + ReadAll("/proc/self/fd/" + std::to_string(fd)));
       int writer = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_TRUNC);
       t.Call("reopen truncating", writer < 0 ? -1 : 0);
       if (writer >= 0) close(writer);
       t.Call("read old again", pread(fd, buffer, sizeof buffer - 1, 0));
       close(fd);
       t.Note("after close " + ReadAll(t.P("f")));
       t.Call("unlink new", unlink(t.P("f").c_str()));
     }},
    {"fstat, fchmod and ftruncate of an unlinked open file",
     [](Transcript& t) {
       WriteFile(t, "f", "0123456789");
       int fd = open(t.P("f").c_str(), O_RDWR);
       int reader = open(t.P("f").c_str(), O_RDONLY);
       t.Call("unlink", unlink(t.P("f").c_str()));
       struct stat st {};
       auto describe = [&](const char* what) {
         t.Call(what, fstat(fd, &st));
         t.Note("size " + std::to_string(st.st_size) + " links " + std::to_string(st.st_nlink) + " mode " +
                std::to_string(st.st_mode & 07777));
       };
       describe("fstat");
       t.Call("fchmod", fchmod(fd, 0600));
       describe("after fchmod");
       t.Call("ftruncate", ftruncate(fd, 4));
       describe("after ftruncate");
       struct timespec times[2] = {{1000000000, 0}, {1100000000, 0}};
       t.Call("futimens", futimens(fd, times));
       t.Call("fstat reader", fstat(reader, &st));
       t.Note("mtime " + std::to_string(st.st_mtim.tv_sec) + " size " + std::to_string(st.st_size));
       close(fd);
       t.Call("fstat after the other closed", fstat(reader, &st));
       t.Note("size " + std::to_string(st.st_size));
       close(reader);
       t.Note("stat " + t.Size("f"));
     }},
    {"rename over a file that is open",
     [](Transcript& t) {
       WriteFile(t, "a", "A");
       WriteFile(t, "b", "Bee");
       int fd = open(t.P("b").c_str(), O_RDWR);
       t.Call("rename", rename(t.P("a").c_str(), t.P("b").c_str()));
       char buffer[8] = {};
       t.Call("read replaced", pread(fd, buffer, sizeof buffer - 1, 0));
       t.Note(buffer);
       struct stat st {};
       t.Call("fstat replaced", fstat(fd, &st));
       t.Note("size " + std::to_string(st.st_size) + " links " + std::to_string(st.st_nlink));
       t.Call("write replaced", pwrite(fd, "X", 1, 0));
       close(fd);
       t.Note("b " + ReadAll(t.P("b")) + " a " + t.Size("a"));
     }},
    {"rmdir of a directory that is held open",
     [](Transcript& t) {
       mkdir(t.P("d").c_str(), 0755);
       int fd = open(t.P("d").c_str(), O_RDONLY | O_DIRECTORY);
       t.Call("rmdir", rmdir(t.P("d").c_str()));
       struct stat st {};
       t.Call("fstat", fstat(fd, &st));
       t.Note(S_ISDIR(st.st_mode) ? "a directory" : "not a directory");
       t.Call("create inside", openat(fd, "x", O_WRONLY | O_CREAT, 0644));
       t.Call("mkdir again", mkdir(t.P("d").c_str(), 0755));
       close(fd);
       t.Call("stat new", stat(t.P("d").c_str(), &st));
       t.Call("rmdir new", rmdir(t.P("d").c_str()));
     }},
    {"unlink of a read-only file",
     [](Transcript& t) {
       WriteFile(t, "f", "r");
       t.Call("chmod", chmod(t.P("f").c_str(), 0444));
       t.Call("unlink", unlink(t.P("f").c_str()));
       t.Note("stat " + t.Size("f"));
     }},
    {"truncate and sparse writes",
     [](Transcript& t) {
       WriteFile(t, "f", "0123456789");
       t.Call("down", truncate(t.P("f").c_str(), 4));
       t.Note("after down " + ReadAll(t.P("f")));
       t.Call("up", truncate(t.P("f").c_str(), 8));
       std::string data = ReadAll(t.P("f"));
       t.Note("zeros " + std::to_string(std::count(data.begin(), data.end(), '\0')));
       int fd = open(t.P("s").c_str(), O_RDWR | O_CREAT, 0644);
       t.Call("sparse", pwrite(fd, "end", 3, 1 << 20));
       close(fd);
       t.Note("size " + t.Size("s"));
       std::string sparse = ReadAll(t.P("s"));
       t.Note("tail " + sparse.substr(sparse.size() - 3) + " zeros " +
              std::to_string(std::count(sparse.begin(), sparse.end(), '\0')));
       t.Call("negative", truncate(t.P("f").c_str(), -1));
     }},
    {"times and modes",
     [](Transcript& t) {
       WriteFile(t, "f", "x");
       struct timespec times[2] = {{1000000000, 123456700}, {1200000000, 765432100}};
       t.Call("utimens", utimensat(AT_FDCWD, t.P("f").c_str(), times, 0));
       struct stat st {};
       stat(t.P("f").c_str(), &st);
       t.Note("mtime " + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " atime " +
              std::to_string(st.st_atim.tv_sec) + "." + std::to_string(st.st_atim.tv_nsec));
       t.Call("chmod", chmod(t.P("f").c_str(), 0751));
       stat(t.P("f").c_str(), &st);
       t.Note("mode " + std::to_string(st.st_mode));
       t.Call("mkdir", mkdir(t.P("d").c_str(), 0700));
       stat(t.P("d").c_str(), &st);
       t.Note("dir mode " + std::to_string(st.st_mode & 07777));
       int fd = open(t.P("x").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0640);
       fstat(fd, &st);
       close(fd);
       t.Note("new mode " + std::to_string(st.st_mode & 07777));
     }},
    {"directories",
     [](Transcript& t) {
       t.Call("mkdir", mkdir(t.P("d").c_str(), 0755));
       t.Call("mkdir again", mkdir(t.P("d").c_str(), 0755));
       WriteFile(t, "d/f", "x");
       t.Call("rmdir non-empty", rmdir(t.P("d").c_str()));
       t.Call("unlink dir", unlink(t.P("d").c_str()));
       t.Call("rmdir file", rmdir(t.P("d/f").c_str()));
       DIR* dir = opendir(t.P("d").c_str());
       for (int i = 0; i < 50; ++i) WriteFile(t, "d/n" + std::to_string(i), "");
       rewinddir(dir);
       int count = 0;
       while (struct dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
       closedir(dir);
       t.Note("listed " + std::to_string(count));
       std::string deep = "t";
       for (int level = 0; level < 40; ++level) {
         mkdir(t.P(deep).c_str(), 0755);
         deep += "/l" + std::to_string(level);
       }
       t.Call("deep mkdir", mkdir(t.P(deep).c_str(), 0755));
       WriteFile(t, deep + "/leaf", "deep");
       t.Note("leaf " + ReadAll(t.P(deep + "/leaf")));
     }},
    {"links",
     [](Transcript& t) {
       WriteFile(t, "f", "data");
       mkdir(t.P("d").c_str(), 0755);
       t.Call("link", link(t.P("f").c_str(), t.P("d/g").c_str()));
       t.Call("link again", link(t.P("f").c_str(), t.P("d/g").c_str()));
       t.Call("link dir", link(t.P("d").c_str(), t.P("e").c_str()));
       t.Call("link missing", link(t.P("none").c_str(), t.P("n").c_str()));
       struct stat st {};
       stat(t.P("f").c_str(), &st);
       t.Note("links " + std::to_string(st.st_nlink) + " g " + ReadAll(t.P("d/g")));
       t.Call("unlink f", unlink(t.P("f").c_str()));
       t.Note("g " + ReadAll(t.P("d/g")));
       t.Call("symlink", symlink("d/g", t.P("s").c_str()));
       t.Call("symlink again", symlink("x", t.P("s").c_str()));
       t.Call("symlink to dir", symlink("d", t.P("sd").c_str()));
       t.Call("dangling", symlink("nowhere", t.P("dangle").c_str()));
       char text[256] = {};
       t.Call("readlink", readlink(t.P("s").c_str(), text, sizeof text));
       t.Note(text);
       t.Call("readlink file", readlink(t.P("d/g").c_str(), text, sizeof text));
       t.Note("through " + ReadAll(t.P("s")) + " " + ReadAll(t.P("sd/g")) + " " + ReadAll(t.P("dangle")));
       lstat(t.P("s").c_str(), &st);
       t.Note(S_ISLNK(st.st_mode) ? "lstat link" : "lstat other");
       t.Call("open nofollow", OpenClose(t.P("s"), O_RDONLY | O_NOFOLLOW));
       t.Call("create through dangling", OpenClose(t.P("dangle"), O_WRONLY | O_CREAT));
       t.Note("made " + ReadAll(t.P("nowhere")));
       t.Call("rename link", rename(t.P("s").c_str(), t.P("s2").c_str()));
       t.Call("link of link", link(t.P("s2").c_str(), t.P("s3").c_str()));
       t.Note("via copy " + ReadAll(t.P("s3")));
       t.Call("rmdir link", rmdir(t.P("sd").c_str()));
       t.Call("unlink link", unlink(t.P("sd").c_str()));
       t.Note("d/g " + ReadAll(t.P("d/g")));
       DIR* dir = opendir(t.P("").c_str());
       std::vector<std::string> names;
       while (struct dirent* entry = readdir(dir)) {
         if (entry->d_name[0] != '.') names.push_back(std::string(entry->d_name) + ":" + std::to_string(entry->d_type));
       }
       closedir(dir);
       std::sort(names.begin(), names.end());
       for (const auto& name : names) t.Note(name);
     }},
    {"names",
     [](Transcript& t) {
       for (std::string name : {std::string("with space"), std::string("ünïcödé ✓"), std::string(255, 'n'),
                                std::string("trailing ")}) {
         WriteFile(t, name, name.substr(0, 3));
         t.Note(ReadAll(t.P(name)));
       }
       t.Call("256 bytes", OpenClose(t.P(std::string(256, 'n')), O_WRONLY | O_CREAT));
       DIR* dir = opendir(t.P("").c_str());
       std::vector<std::string> names;
       while (struct dirent* entry = readdir(dir)) names.push_back(entry->d_name);
       closedir(dir);
       std::sort(names.begin(), names.end());
       for (const auto& name : names) t.Note("[" + name.substr(0, 12) + "]");
     }},
};

class NativeCompareTest : public MountTest {};

TEST_F(NativeCompareTest, SyscallSequencesAnswerAsInANativeFolder) {
  std::filesystem::path native = top_ / "native";
  for (const Case& c : kCases) {
    std::filesystem::remove_all(native);
    std::filesystem::create_directory(native);
    std::filesystem::create_directory(Host(c.name));
    Transcript onNative(native.string());
    Transcript onMount(Mounted(c.name));
    c.run(onNative);
    c.run(onMount);
    EXPECT_EQ(onMount.Text(), onNative.Text()) << c.name;
  }
}

TEST_F(NativeCompareTest, CommonToolsWorkInTheMount) {
  WriteHost("src/a/b.txt", "b");
  WriteHost("src/c.txt", "c");
  int code = -1;
  Run({"/bin/cp", "-a", Mounted("src"), Mounted("copy")}, {}, &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadHost("copy/a/b.txt"), "b");
  Run({"/bin/tar", "-C", Mounted(""), "-cf", Mounted("t.tar"), "src"}, {}, &code);
  EXPECT_EQ(code, 0);
  std::filesystem::create_directory(Host("untar"));
  Run({"/bin/tar", "-C", Mounted("untar"), "-xf", Mounted("t.tar")}, {}, &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadHost("untar/src/c.txt"), "c");
  if (access("/usr/bin/git", X_OK) == 0) {
    std::string repo = Mounted("repo");
    Run({"/usr/bin/git", "init", "-q", repo}, {}, &code);
    EXPECT_EQ(code, 0);
    WriteHost("repo/file.txt", "tracked");
    Run({"/usr/bin/git", "-C", repo, "add", "file.txt"}, {}, &code);
    EXPECT_EQ(code, 0);
    Run({"/usr/bin/git", "-C", repo, "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm", "one"}, {},
        &code);
    EXPECT_EQ(code, 0);
  }
  if (access("/usr/bin/cc", X_OK) == 0) {
    WriteHost("build/main.c", "int main(void) { return 7; }\n");
    Run({"/usr/bin/cc", "-o", Mounted("build/main"), Mounted("build/main.c")}, {}, &code);
    EXPECT_EQ(code, 0);
    Run({Mounted("build/main")}, {}, &code);
    EXPECT_EQ(code, 7);
  }
}

}  // namespace
}  // namespace nb::fuse::testing
