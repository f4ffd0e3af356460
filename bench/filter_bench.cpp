// What every filtered request pays: the governing-entry walk, the name-cache lookup,
// and a whole open and close through the filter on a host volume.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "driver.h"
#include "lock_resolution.h"
#include "log.h"
#include "name_cache.h"
#include "nb/kernel/io.h"
#include "nb/resource_guard.h"
#include "nb/testing/machine.h"
#include "nb/text.h"

namespace {

NTSTATUS PoolAttach(UCHAR letter, VolumeRecord** record) {
  auto* volume = static_cast<VolumeRecord*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(VolumeRecord), 'hcnB'));
  if (!volume) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = InitializeVolumeRecord(volume, nullptr, letter);
  *record = volume;
  return status;
}

std::u16string Folder(int i) { return u"\\Locked" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) + u"\\" +
                                      nb::text::Utf8ToUtf16(std::to_string(i)); }

void BM_GoverningEntryWalk(benchmark::State& state) {
  nb::kernel::Kernel kernel;
  (void)LogInitialize();
  ERESOURCE attachLock;
  (void)ExInitializeResourceLite(&attachLock);
  VolumeTable table;
  (void)VolumeTableInitialize(&table, &attachLock);
  (void)AddService(table, 0, 0, 'C', PoolAttach);
  for (int i = 0; i < state.range(0); ++i) (void)AddEntry(table, 0, 1, 'C', Folder(i).c_str());
  VolumeRecord* volume = FindVolume(table, 'C').get();  // nothing tears it down meanwhile
  std::u16string path = u"\\Users\\someone\\Documents\\report.txt";  // governed by none: the whole walk
  {
    nb::SharedLock guard(volume->lock);
    for (auto _ : state) {
      benchmark::DoNotOptimize(
          GoverningEntry(volume, path.c_str(), static_cast<ULONG>(path.size() * sizeof(char16_t))));
    }
  }
  FreeVolumeContents(volume);
  ExDeleteResourceLite(&volume->lock);
  ExFreePool(volume);
  VolumeTableDelete(&table);
  ExDeleteResourceLite(&attachLock);
  LogShutdown();
}
BENCHMARK(BM_GoverningEntryWalk)->Arg(1)->Arg(16)->Arg(256);

void BM_NameCacheLookup(benchmark::State& state) {
  nb::kernel::Kernel kernel;
  (void)LogInitialize();
  (void)NameCacheInitialize();
  std::vector<FILE_OBJECT> files(state.range(0));
  std::u16string name = u"\\Users\\someone\\Documents\\report.txt";
  for (auto& file : files) (void)NameCacheRecord(&file, name.c_str(), static_cast<ULONG>(name.size() * 2));
  size_t i = 0;
  for (auto _ : state) {
    CachedName cached(&files[i++ % files.size()]);
    benchmark::DoNotOptimize(cached.Length());
  }
  NameCacheShutdown();
  LogShutdown();
}
BENCHMARK(BM_NameCacheLookup)->Arg(128)->Arg(8192);

void BM_OpenCloseThroughFilter(benchmark::State& state) {
  std::filesystem::path root = std::filesystem::temp_directory_path() / "nbfs-bench";
  std::filesystem::create_directories(root / "Docs");
  { std::ofstream(root / "Docs" / "f.txt") << "x"; }
  {
    nb::testing::Machine machine;
    (void)machine.AddHostVolume('C', root.string());
    (void)machine.LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry);
    NBFS_ENTRY entry{};
    entry.letter = 'C';
    (void)machine.DeviceControl(NBFS_LINK_NAME, ADD_SERVICE, &entry, sizeof entry, nullptr, 0);
    for (int i = 0; i < state.range(0); ++i) {
      NBFS_ENTRY lock{};
      lock.letter = 'C';
      lock.type = 1;
      std::u16string path = Folder(i);
      std::memcpy(lock.path, path.c_str(), (path.size() + 1) * 2);
      (void)machine.DeviceControl(NBFS_LINK_NAME, ADD_ENTRY, &lock, sizeof lock, nullptr, 0);
    }
    nb::kernel::OpenParameters parameters;
    parameters.desiredAccess = FILE_READ_DATA | SYNCHRONIZE;
    for (auto _ : state) {
      PFILE_OBJECT file;
      if (NT_SUCCESS(nb::kernel::OpenFile(u"\\DosDevices\\C:\\Docs\\f.txt", parameters, &file))) {
        nb::kernel::CloseFile(file);
      }
    }
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_OpenCloseThroughFilter)->Arg(0)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
