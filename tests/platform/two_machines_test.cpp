// Two machines in one process share nothing: each thread acts on the kernel it is bound
// to, and the same names, letters and devices mean different objects on each machine.
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "nb/kernel/clock.h"
#include "nb/kernel/events.h"
#include "nb/kernel/file_requests.h"
#include "nb/kernel/io.h"
#include "nb/kernel/object_namespace.h"
#include "nb/testing/machine.h"

namespace nb::kernel {
namespace {

class TwoMachinesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 2; ++i) {
      char pattern[] = "/tmp/nbtwo-XXXXXX";
      ASSERT_NE(mkdtemp(pattern), nullptr);
      folders_[i] = pattern;
      ASSERT_EQ(machines_[i].AddHostVolume('X', folders_[i].string()), STATUS_SUCCESS);
    }
  }
  void TearDown() override {
    for (const auto& folder : folders_) std::filesystem::remove_all(folder);
  }

  testing::Machine machines_[2];
  std::filesystem::path folders_[2];
};

// On its own machine: a named event, a file written on X: and read back, timer ticks.
// Returns an empty string or what went wrong.
std::string Work(testing::Machine& machine, int id, int rounds) {
  KernelScope bound(machine.Kernel());
  for (int round = 0; round < rounds; ++round) {
    PRKEVENT event;
    NTSTATUS created = CreateEventObject(u"\\BaseNamedObjects\\Shared", NotificationEvent, FALSE, &event);
    if (created != STATUS_SUCCESS) return "the event name was taken on another machine";
    KeSetEvent(event, 0, FALSE);
    ObDereferenceObject(event);

    OpenParameters parameters;
    parameters.desiredAccess = FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE;
    parameters.disposition = FILE_OVERWRITE_IF;
    parameters.options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    PFILE_OBJECT file;
    if (OpenFile(u"\\DosDevices\\X:\\mine.txt", parameters, &file) != STATUS_SUCCESS) return "open failed";
    std::string text = "machine " + std::to_string(id);
    char back[16] = {};
    NTSTATUS status = WriteFile(file, text.data(), static_cast<ULONG>(text.size()), 0);
    if (NT_SUCCESS(status)) status = ReadFile(file, back, sizeof back - 1, 0);
    CloseFile(file);
    if (!NT_SUCCESS(status) || text != back) return "the file held " + std::string(back);
    machine.Kernel().Clock().Tick();
  }
  return {};
}

TEST_F(TwoMachinesTest, MachinesSideBySideWorkIndependentlyAndConcurrently) {
  std::string failures[2];
  std::thread first([&] { failures[0] = Work(machines_[0], 0, 200); });
  std::thread second([&] { failures[1] = Work(machines_[1], 1, 200); });
  first.join();
  second.join();
  EXPECT_EQ(failures[0], "");
  EXPECT_EQ(failures[1], "");
  for (int i = 0; i < 2; ++i) {
    std::ifstream in(folders_[i] / "mine.txt");
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "machine " + std::to_string(i)) << "each machine wrote to its own folder";
  }
}

TEST_F(TwoMachinesTest, EachMachineHasItsOwnNamespaceAndDevices) {
  void* volumes[2];
  for (int i = 0; i < 2; ++i) {
    KernelScope bound(machines_[i].Kernel());
    ResolvedName resolved;
    ASSERT_EQ(machines_[i].Kernel().Namespace().Resolve(u"\\DosDevices\\X:", &resolved), STATUS_SUCCESS);
    volumes[i] = resolved.object;
    EXPECT_EQ(Kernel::Current(), &machines_[i].Kernel());
  }
  EXPECT_NE(volumes[0], volumes[1]);
  // A thread bound to neither cannot tell which machine it means.
  std::thread unbound([] { EXPECT_EQ(Kernel::Current(), nullptr); });
  unbound.join();
  // Removing the drive on one machine leaves the other's.
  ASSERT_EQ(machines_[0].RemoveVolume('X'), STATUS_SUCCESS);
  EXPECT_EQ(machines_[0].Kernel().Namespace().LinkTarget(u"\\DosDevices\\X:"), std::nullopt);
  EXPECT_NE(machines_[1].Kernel().Namespace().LinkTarget(u"\\DosDevices\\X:"), std::nullopt);
}

// The dynamic linker loads an image once per process: its globals cannot serve drivers of
// two machines, so the second machine is refused.
TEST_F(TwoMachinesTest, ADriverImageServesOneMachine) {
  PDRIVER_OBJECT driver;
  ASSERT_EQ(machines_[0].LoadDriverImage(u"\\Driver\\nbdv15", NBDV15_IMAGE, &driver), STATUS_SUCCESS);
  EXPECT_EQ(machines_[1].LoadDriverImage(u"\\Driver\\nbdv15", NBDV15_IMAGE), STATUS_IMAGE_ALREADY_LOADED);
  machines_[0].UnloadDriver(driver);
  PDRIVER_OBJECT other;
  EXPECT_EQ(machines_[1].LoadDriverImage(u"\\Driver\\nbdv15", NBDV15_IMAGE, &other), STATUS_SUCCESS);
}

}  // namespace
}  // namespace nb::kernel
