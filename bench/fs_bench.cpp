// File-system benchmark run by hand (needs root, /dev/fuse and bindfs): the same work on a
// native folder, on bindfs over it, on the FUSE front end with no lock and with 100 locks
// elsewhere on the volume; medians of several runs and ratios printed as a table.
//   W1  N x (create a 4 KiB file, stat, unlink)
//   W2  readdir of an N-entry folder, names only and with lstat of each, cold (first
//       listing after the folder was made through a fresh mount) and warm (again)
//   W3  sequential write then read of 256 MiB in 1 MiB requests
// Usage: fs_bench [--runs R] [--files N] [--megabytes M] [--dir DIR]
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver.h"
#include "nb/fuse/volume_mount.h"
#include "nb/testing/machine.h"
#include "nbfsctl.h"

namespace {

int runs = 5;
int files = 10000;
int megabytes = 256;

// CPU seconds of this whole process (the benchmark and, for nimbra, the in-process FUSE
// server's threads): less disturbed by other load on a busy machine than wall time.
double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double lastCpu = 0;  // CPU seconds of the last Seconds() call

double Seconds(const std::function<void()>& work) {
  auto start = std::chrono::steady_clock::now();
  double cpuStart = CpuSeconds();
  work();
  lastCpu = CpuSeconds() - cpuStart;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::perror(what);
    std::exit(1);
  }
}

void W1(const std::string& root) {
  std::string dir = root + "/w1";
  mkdir(dir.c_str(), 0755);
  std::vector<char> block(4096, 'x');
  for (int i = 0; i < files; ++i) {
    std::string path = dir + "/f" + std::to_string(i);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    Check(fd >= 0, "create");
    Check(write(fd, block.data(), block.size()) == 4096, "write");
    close(fd);
    struct stat st {};
    Check(stat(path.c_str(), &st) == 0, "stat");
    Check(unlink(path.c_str()) == 0, "unlink");
  }
  rmdir(dir.c_str());
}

void MakeListing(const std::string& root) {
  std::string dir = root + "/w2";
  if (mkdir(dir.c_str(), 0755) != 0) return;
  for (int i = 0; i < files; ++i) close(open((dir + "/entry-" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644));
}

void W2(const std::string& root, bool withStat) {
  std::string dir = root + "/w2";
  DIR* listing = opendir(dir.c_str());
  Check(listing != nullptr, "opendir");
  int count = 0;
  while (struct dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    ++count;
    if (withStat) {
      struct stat st {};
      Check(fstatat(dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0, "lstat");
    }
  }
  closedir(listing);
  Check(count == files, "listing count");
}

void W3Write(const std::string& root) {
  std::vector<char> block(1 << 20, 'y');
  int fd = open((root + "/w3").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Check(fd >= 0, "w3 open");
  for (int i = 0; i < megabytes; ++i) Check(write(fd, block.data(), block.size()) == (1 << 20), "w3 write");
  Check(fsync(fd) == 0, "w3 fsync");
  close(fd);
}

void W3Read(const std::string& root) {
  std::vector<char> block(1 << 20);
  int fd = open((root + "/w3").c_str(), O_RDONLY);
  Check(fd >= 0, "w3 open");
  while (read(fd, block.data(), block.size()) > 0) {
  }
  close(fd);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One configuration: how to make its folder ready, and how to take it down.
struct Setup {
  std::string name;
  std::function<std::string()> up;  // returns the folder to work in
  std::function<void()> down;
  std::function<uint64_t()> requests;  // named requests our front end served so far, if it is ours
};

std::map<std::string, std::map<std::string, double>> results;  // workload -> setup -> median seconds
std::map<std::string, std::map<std::string, double>> cpuResults;  // the same for CPU seconds
std::map<std::string, std::map<std::string, double>> requestResults;  // front-end requests per run

void Measure(const Setup& setup) {
  std::map<std::string, std::vector<double>> samples, cpuSamples, requestSamples;
  auto sample = [&](const std::string& workload, const std::function<void()>& work) {
    uint64_t before = setup.requests ? setup.requests() : 0;
    samples[workload].push_back(Seconds(work));
    cpuSamples[workload].push_back(lastCpu);
    if (setup.requests) requestSamples[workload].push_back(static_cast<double>(setup.requests() - before));
  };
  for (int run = 0; run < runs; ++run) {
    std::string root = setup.up();
    sample("W1 create/stat/unlink", [&] { W1(root); });
    setup.down();
    root = setup.up();  // the listing is made, then listed cold through a fresh mount
    MakeListing(root);
    setup.down();
    root = setup.up();
    sample("W2 names cold", [&] { W2(root, false); });
    sample("W2 names warm", [&] { W2(root, false); });
    sample("W2 lstat warm", [&] { W2(root, true); });
    sample("W3 write 1 MiB", [&] { W3Write(root); });
    sample("W3 read 1 MiB", [&] { W3Read(root); });
    unlink((root + "/w3").c_str());
    setup.down();
  }
  for (auto& [workload, values] : samples) results[workload][setup.name] = Median(values);
  for (auto& [workload, values] : cpuSamples) cpuResults[workload][setup.name] = Median(values);
  for (auto& [workload, values] : requestSamples) requestResults[workload][setup.name] = Median(values);
  std::fprintf(stderr, "fs_bench: %s done\n", setup.name.c_str());
}

NTSTATUS Control(nb::testing::Machine& machine, ULONG code, const void* input, ULONG length) {
  return machine.DeviceControl(NBFS_LINK_NAME, code, input, length, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  std::string base = "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--runs") runs = std::atoi(argv[i + 1]);
    if (option == "--files") files = std::atoi(argv[i + 1]);
    if (option == "--megabytes") megabytes = std::atoi(argv[i + 1]);
    if (option == "--dir") base = argv[i + 1];
  }
  std::string top = base + "/fs_bench." + std::to_string(getpid());
  std::string native = top + "/native", point = top + "/mnt";
  std::filesystem::create_directories(native);
  std::filesystem::create_directories(point);

  std::vector<Setup> setups;
  setups.push_back({"native", [&] { return native; }, [] {}});
  setups.push_back({"bindfs",
                    [&] {
                      Check(std::system(("bindfs -o allow_other '" + native + "' '" + point + "'").c_str()) == 0,
                            "bindfs");
                      return point;
                    },
                    [&] { umount2(point.c_str(), MNT_DETACH); }});

  nb::testing::Machine machine;
  Check(NT_SUCCESS(machine.AddHostVolume('X', native)), "volume");
  Check(NT_SUCCESS(machine.LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry)), "driver");
  NBFS_ENTRY drive{};
  drive.letter = 'X';
  Check(NT_SUCCESS(Control(machine, ADD_SERVICE, &drive, sizeof drive)), "drive");
  auto mount = std::make_unique<nb::fuse::VolumeMount>(machine.Kernel());
  auto up = [&] {
    nb::fuse::MountParameters parameters;
    parameters.volume = u"\\DosDevices\\X:";
    parameters.mountPoint = point;
    Check(NT_SUCCESS(mount->Mount(parameters)), "mount");
    return point;
  };
  auto down = [&] { mount->Unmount(); };
  auto requests = [&] { return mount->Requests(); };
  setups.push_back({"nimbra", up, down, requests});
  setups.push_back({"nimbra+100 locks",
                    [&] {
                      static bool locked = false;
                      for (int i = 0; !locked && i < 100; ++i) {
                        NBFS_ENTRY entry{};
                        entry.letter = 'X';
                        entry.type = NBFS_LOCK_NOACCESS;
                        std::u16string path = u"\\locked\\L" + std::u16string(1, u'0' + i / 10) +
                                              std::u16string(1, u'0' + i % 10);
                        std::memcpy(entry.path, path.c_str(), (path.size() + 1) * sizeof(char16_t));
                        Check(NT_SUCCESS(Control(machine, ADD_ENTRY, &entry, sizeof entry)), "lock");
                      }
                      locked = true;
                      return up();
                    },
                    down, requests});

  for (const Setup& setup : setups) Measure(setup);

  auto print = [](const char* title, std::map<std::string, std::map<std::string, double>>& table) {
    std::printf("%-24s %10s %10s %10s %10s %8s %8s %8s\n", title, "native", "bindfs", "nimbra", "+100locks",
                "/native", "/bindfs", "locks%");
    for (auto& [workload, bySetup] : table) {
      double n = bySetup["native"], b = bySetup["bindfs"], m = bySetup["nimbra"], l = bySetup["nimbra+100 locks"];
      std::printf("%-24s %10.3f %10.3f %10.3f %10.3f %8.2f %8.2f %+7.1f%%\n", workload.c_str(), n, b, m, l, m / n,
                  m / b, (l / m - 1) * 100);
    }
  };
  print("workload (median s)", results);
  // bindfs runs in a process of its own: its CPU column holds only the client's share.
  print("CPU of this process (s)", cpuResults);
  // What the kernel asked of our front end by name or node (lookups, getattr, create, open,
  // unlink, ...; reads, writes and releases through an open handle are not counted).
  std::printf("%-24s %10s %10s\n", "named requests (median)", "nimbra", "+100locks");
  for (auto& [workload, bySetup] : requestResults)
    std::printf("%-24s %10.0f %10.0f\n", workload.c_str(), bySetup["nimbra"], bySetup["nimbra+100 locks"]);
  std::filesystem::remove_all(top);
  return 0;
}
