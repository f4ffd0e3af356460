// The service program against an in-process machine with its service manager: the
// command line's answers and exit codes, the registration it makes, and the drivers
// installed and started as kernel services from their image files.
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <unistd.h>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>
#include <winsvc.h>

#include "LogFile.h"
#include "nb/kernel/process.h"
#include "nb/kernel/service_manager.h"
#include "nb/testing/machine.h"
#include "nb/testing/service_programs.h"
#include "nb/text.h"
#include "nb/win/drives.h"
#include "nb/win/in_process.h"
#include "VAULTSdk.h"
#include "service_program.h"

namespace {

namespace fs = std::filesystem;

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nbsvc-program-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "C" / "Windows" / "TEMP" / "NB");
    transport_.ActAsUser(0);
    nb::kernel::VolumeParameters parameters;
    parameters.letter = 'C';
    parameters.type = nb::kernel::VolumeType::kFixed;
    parameters.serial = 0xC0C0C0C0;
    parameters.hostFolder = (root_ / "C").string();
    ASSERT_EQ(machine_.AddVolume(parameters), STATUS_SUCCESS);
    nb::win::MapDrive(u'C', parameters.hostFolder);
  }
  void TearDown() override {
    nb::win::UnmapAllDrives();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Runs the command line and returns its exit code; `printed` gets its output.
  int Command(std::vector<std::u16string> arguments, std::string* printed) {
    arguments.insert(arguments.begin(), u"NBSvc");
    std::vector<WCHAR*> argv;
    for (std::u16string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    int result = ServiceCommand(static_cast<int>(arguments.size()), argv.data());
    *printed = ::testing::internal::GetCapturedStdout();
    return result;
  }
  std::u16string ImagePath() {
    HKEY key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\NB Service", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    WCHAR value[600] = {};
    DWORD size = sizeof value - sizeof(WCHAR);
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(value), &size), ERROR_SUCCESS);
    RegCloseKey(key);
    return value;
  }

  fs::path root_;
  nb::testing::Machine machine_;
  nb::win::InProcessTransport transport_;
  nb::win::ScopedTransport installed_{transport_};
};

TEST_F(Program, AnswersWithoutTheServiceInstalled) {
  std::string printed;
  EXPECT_EQ(Command({}, &printed), -1);
  EXPECT_EQ(printed, "Cannot get service status(Error = 1060)\n");
  EXPECT_EQ(Command({u"/p"}, &printed), -1);
  EXPECT_EQ(printed, "Cannot stop service( Error = 1060 )\n");
  EXPECT_EQ(Command({u"/c"}, &printed), -1);
  EXPECT_EQ(printed, "Cannot start service( Error = 1060 )\n");
  EXPECT_EQ(Command({u"/r"}, &printed), -1);
  EXPECT_EQ(printed, "Cannot delete service( Error = 1060 )\n");
  EXPECT_EQ(Command({u"/x"}, &printed), 0);
  EXPECT_EQ(printed,
            "NBSvc:Illegal option -- x\n\nUSAGE:NBSvc [COMMAND] \nTHE COMMAND IS:\n  /i\tInstall Service\n"
            "  /r\tRemove Servive\n  /s\tStart Service\n  /d\tConsole debug\n  /p\tStop Service\n"
            "  /c\tResume Service\n  /t\tStatus Service\n");
}

TEST_F(Program, InstallsOnceAndAnswersForTheStoppedService) {
  std::string printed;
  ASSERT_EQ(Command({u"/i"}, &printed), 0);
  EXPECT_EQ(printed, "installing ...\n");
  EXPECT_EQ(Command({u"/i"}, &printed), -1);
  EXPECT_EQ(printed, "installing ...\nCannot install service( Error = 1073 )\n");

  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = OpenServiceW(manager, NBSVC_SERVICE_NAME, SERVICE_ALL_ACCESS);
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  WCHAR module[512] = {};
  GetModuleFileNameW(nullptr, module, 512);
  EXPECT_EQ(ImagePath(), ServiceImagePath(module));

  EXPECT_EQ(Command({}, &printed), 0);
  EXPECT_EQ(printed, "The service is not running.\n");
  EXPECT_EQ(Command({u"/t"}, &printed), 0);
  EXPECT_EQ(printed, "The service is not running.\n");
  // Debug wins over install, and an installed service is never run in the console.
  EXPECT_EQ(Command({u"/id"}, &printed), 0);
  EXPECT_EQ(printed, "NB Service is already running ...\n");
  EXPECT_EQ(Command({u"/p"}, &printed), 0) << "stopped already: no control";
  EXPECT_EQ(printed, "");
  EXPECT_EQ(Command({u"/r"}, &printed), 0);
  EXPECT_EQ(Command({}, &printed), -1);
}

TEST(ServiceImagePath, IsQuotedWhenItHoldsABlank) {
  EXPECT_EQ(ServiceImagePath(u"C:\\Program Files\\Nimbra\\NBSvc"), u"\"C:\\Program Files\\Nimbra\\NBSvc\"");
  EXPECT_EQ(ServiceImagePath(u"C:\\Nimbra\\NBSvc"), u"C:\\Nimbra\\NBSvc");
}

// The drivers come from their files in the default folder as kernel services.
TEST_F(Program, TheDriversAreInstalledAsKernelServices) {
  fs::path folder = root_ / "C" / "Windows" / "Application Data" / "NB";
  fs::create_directories(folder);
  fs::copy_file(NBFS36_IMAGE, folder / "nbfs36.sys");
  fs::copy_file(NBDV15_IMAGE, folder / "nbdv15.sys");
  ScmDriverInstaller installer;
  ThreadLauncher launcher;
  NBService service(installer, launcher);
  ASSERT_TRUE(service.LoadDrivers());
  for (const char16_t* device : {u"\\\\.\\nbfscntl36", u"\\\\.\\nbdvCntl15"}) {
    HANDLE handle = CreateFileW(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE driver = OpenServiceW(manager, u"nbfs36", SERVICE_ALL_ACCESS);
  ASSERT_NE(driver, nullptr);
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(driver, &status));
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_RUNNING});
  ControlService(driver, SERVICE_CONTROL_STOP, &status);
  CloseServiceHandle(driver);
  driver = OpenServiceW(manager, u"nbdv15", SERVICE_ALL_ACCESS);
  ControlService(driver, SERVICE_CONTROL_STOP, &status);
  CloseServiceHandle(driver);
  CloseServiceHandle(manager);
}

// Started by the service manager, the program dispatches, reports running, starts up
// (drivers from their files, the default folder locked, its threads waiting) and stops
// on a stop control, withdrawing the drivers' event registrations.
TEST_F(Program, RunsAsAServiceUntilStopped) {
  using namespace std::chrono_literals;
  fs::path folder = root_ / "C" / "Windows" / "Application Data" / "NB";
  fs::create_directories(folder);
  fs::copy_file(NBFS36_IMAGE, folder / "nbfs36.sys");
  fs::copy_file(NBDV15_IMAGE, folder / "nbdv15.sys");
  ASSERT_TRUE(InstallLockStore(u"C:\\Windows\\Application Data\\NB"));
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\NBAdmin", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);

  ScmDriverInstaller installer;
  ThreadLauncher launcher;
  NBService service(installer, launcher);
  std::atomic<int> exitCode{-100};
  nb::testing::ServicePrograms programs(machine_.Kernel());
  machine_.Kernel().Services().SetTimeouts(5s, 5s);
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  programs.Add(self, [&](const std::vector<std::string>&) {
    std::u16string name = u"NBSvc";
    WCHAR* argv[] = {name.data(), nullptr};
    exitCode = ServiceProgramMain(1, argv, service);
    return exitCode.load();
  });
  std::string printed;
  ASSERT_EQ(Command({u"/i"}, &printed), 0);
  ASSERT_EQ(Command({u"/c"}, &printed), 0) << printed;
  SERVICE_STATUS status{};
  auto until = std::chrono::steady_clock::now() + 10s;
  while (QueryNamedService(&status) && status.dwCurrentState == SERVICE_START_PENDING &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_RUNNING});
  EXPECT_EQ(status.dwControlsAccepted, NBSVC_CONTROLS);

  // The start-up ends with the three threads started.
  auto deadline = std::chrono::steady_clock::now() + 10s;
  auto logged = [&](const std::string& text) {
    for (const auto& entry : fs::directory_iterator(root_ / "C" / "Windows" / "TEMP" / "NB")) {
      std::ifstream in(entry.path());
      std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (all.find(text) != std::string::npos) return true;
    }
    return false;
  };
  // Each thread says it waits once it runs; the console tool's lines below come after them.
  auto waiting = [&] {
    return logged("Waiting Event(Global\\NbfsDeviceNotifyEvent36)") &&
           logged("Waiting Event(Global\\NbdvDeviceNotifyEvent15)") &&
           logged("Waiting Event(Global\\NbfsTimerNotifyEvent36)");
  };
  while (!waiting() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(logged("Thread starting(Global\\NbfsTimerNotifyEvent36)"));
  ASSERT_TRUE(waiting());
  EXPECT_TRUE(logged("Default Folder Locked.. "));
  EXPECT_FALSE(logged("Load failure"));

  EXPECT_EQ(Command({}, &printed), 0);
  // The service runs in this process: a thread's last echo may still reach the capture.
  for (size_t at; (at = printed.find("Waiting Event(")) != std::string::npos;) {
    size_t end = printed.find('\n', at);
    printed.erase(at, end == std::string::npos ? std::string::npos : end - at + 1);
  }
  EXPECT_EQ(printed, "The service is running.\n");
  // Pause, continue and interrogate as the service manager sends them.
  {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE handle = OpenServiceW(manager, NBSVC_SERVICE_NAME, SERVICE_ALL_ACCESS);
    ASSERT_TRUE(ControlService(handle, SERVICE_CONTROL_PAUSE, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_PAUSED});
    ASSERT_TRUE(ControlService(handle, SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_PAUSED});
    EXPECT_EQ(Command({}, &printed), 0);
    EXPECT_EQ(printed, "The service is paused.\n");
    ASSERT_TRUE(ControlService(handle, SERVICE_CONTROL_CONTINUE, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_RUNNING});
    CloseServiceHandle(handle);
    CloseServiceHandle(manager);
  }
  EXPECT_EQ(Command({u"/c"}, &printed), 0) << "running already: no start";
  ASSERT_EQ(Command({u"/p"}, &printed), 0) << printed;
  ASSERT_TRUE(QueryNamedService(&status));
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
  EXPECT_TRUE(logged("ServiceCallBackFn"));
  deadline = std::chrono::steady_clock::now() + 10s;
  while (exitCode == -100 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(exitCode, 0) << "the dispatcher returned";
}

}  // namespace
