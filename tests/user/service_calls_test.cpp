// The service calls against an in-process machine: services recorded in the hive, a
// service program (a thread acting as its own process) started, controlled and stopped
// through its dispatcher, a driver service loaded and unloaded, and the refusals Windows
// gives for each wrong step.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>
#include <winsvc.h>

#include "nb/kernel/service_manager.h"
#include "nb/testing/machine.h"
#include "nb/testing/service_programs.h"
#include "nb/win/in_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char16_t* kName = u"Test Service";
constexpr uint32_t kUser = 1000;

// The one test service of a test: what it was given, what it was told, and when to stop.
struct TestService {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::u16string> arguments;
  std::vector<DWORD> controls;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
  bool stop = false;
  bool acceptShutdown = true;
  BOOL dispatched = FALSE;
  DWORD dispatchError = 0;
  bool mainReturned = false;

  void Report(DWORD state) {
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_START_PENDING || state == SERVICE_STOPPED
            ? 0
            : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | (acceptShutdown ? SERVICE_ACCEPT_SHUTDOWN : 0);
    SetServiceStatus(handle, &status);
    changed.notify_all();
  }
};

TestService* service = nullptr;

void WINAPI Handler(DWORD control) {
  std::lock_guard lock(service->mutex);
  service->controls.push_back(control);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      service->Report(SERVICE_STOP_PENDING);
      service->stop = true;
      service->changed.notify_all();
      break;
    case SERVICE_CONTROL_PAUSE:
      service->Report(SERVICE_PAUSED);
      break;
    case SERVICE_CONTROL_CONTINUE:
      service->Report(SERVICE_RUNNING);
      break;
    default:
      service->Report(service->status.dwCurrentState);
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  TestService* self = service;  // the test may move on to another while this one runs
  std::unique_lock lock(self->mutex);
  for (DWORD i = 0; i < argc; ++i) self->arguments.emplace_back(argv[i]);
  self->handle = RegisterServiceCtrlHandlerW(argv[0], Handler);
  self->Report(SERVICE_START_PENDING);
  self->Report(SERVICE_RUNNING);
  self->changed.wait(lock, [self] { return self->stop; });
  self->Report(SERVICE_STOPPED);
  self->mainReturned = true;
  self->changed.notify_all();
}

int DispatchingMain(const std::vector<std::string>&) {
  TestService* self = service;
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kName), ServiceMain}, {nullptr, nullptr}};
  BOOL dispatched = StartServiceCtrlDispatcherW(table);
  DWORD error = dispatched ? 0 : GetLastError();
  std::lock_guard lock(self->mutex);
  self->dispatched = dispatched;
  self->dispatchError = error;
  self->changed.notify_all();
  return 0;
}

class ServiceCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nb-services-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    fs::create_directories(root_ + "/Program Files/Test");
    program_ = root_ + "/Program Files/Test/svc";
    std::ofstream(program_) << "program";
    ASSERT_EQ(machine_.AddHostVolume('C', root_), STATUS_SUCCESS);
    transport_.ActAsUser(0);
    programs_ = std::make_unique<nb::testing::ServicePrograms>(machine_.Kernel());
    programs_->Add(program_, DispatchingMain);
    machine_.Kernel().Services().SetTimeouts(2s, 2s);
    service = &state_;
  }
  void TearDown() override {
    {
      // A ServiceMain still running ends before the machine it reports to goes.
      std::unique_lock lock(state_.mutex);
      state_.stop = true;
      state_.changed.notify_all();
      state_.changed.wait_for(lock, 5s, [&] { return !state_.handle || state_.mainReturned; });
    }
    programs_.reset();
    service = nullptr;
    fs::remove_all(root_);
  }

  SC_HANDLE Manager(DWORD access = SC_MANAGER_ALL_ACCESS) { return OpenSCManagerW(nullptr, nullptr, access); }

  SC_HANDLE Create(SC_HANDLE manager, const char16_t* name = kName, const char16_t* image = u"C:\\Program Files\\Test\\svc",
                   DWORD type = SERVICE_WIN32_OWN_PROCESS, DWORD start = SERVICE_DEMAND_START) {
    return CreateServiceW(manager, name, name, SERVICE_ALL_ACCESS, type, start, SERVICE_ERROR_NORMAL, image, nullptr,
                          nullptr, nullptr, nullptr, nullptr);
  }

  DWORD State(SC_HANDLE handle) {
    SERVICE_STATUS status{};
    EXPECT_TRUE(QueryServiceStatus(handle, &status)) << GetLastError();
    return status.dwCurrentState;
  }

  // Runs `call` as the service's process, as its own threads would.
  template <typename Call>
  auto AsServiceProcess(SC_HANDLE handle, Call call) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed;
    EXPECT_TRUE(QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO_LEVEL, reinterpret_cast<LPBYTE>(&status),
                                     sizeof status, &needed));
    return AsProcess(status.dwProcessId, call);
  }
  template <typename Call>
  auto AsProcess(ULONG processId, Call call) {
    nb::kernel::ProcessScope scope(machine_.Kernel().Processes().Find(processId));
    return call();
  }

  bool WaitFor(const std::function<bool()>& condition) {
    std::unique_lock lock(state_.mutex);
    return state_.changed.wait_for(lock, 5s, condition);
  }

  std::string root_;
  std::string program_;
  nb::testing::Machine machine_;
  nb::win::InProcessTransport transport_;
  nb::win::ScopedTransport installed_{transport_};
  std::unique_ptr<nb::testing::ServicePrograms> programs_;
  TestService state_;
};

TEST_F(ServiceCalls, AServiceIsRecordedInTheHiveUnderItsName) {
  SC_HANDLE manager = Manager();
  ASSERT_NE(manager, nullptr) << GetLastError();
  SC_HANDLE created = CreateServiceW(manager, kName, u"Shown Name", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, u"\"C:\\Program Files\\Test\\svc\"",
                                     nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(created, nullptr) << GetLastError();
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Test Service", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD value = 0;
  DWORD size = sizeof value;
  ASSERT_EQ(RegQueryValueExW(key, u"Start", nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size), ERROR_SUCCESS);
  EXPECT_EQ(value, DWORD{SERVICE_AUTO_START});
  ASSERT_EQ(RegQueryValueExW(key, u"Type", nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size), ERROR_SUCCESS);
  EXPECT_EQ(value, DWORD{SERVICE_WIN32_OWN_PROCESS});
  WCHAR text[128] = {};
  size = sizeof text;
  ASSERT_EQ(RegQueryValueExW(key, u"DisplayName", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text), u"Shown Name");
  RegCloseKey(key);
  EXPECT_EQ(State(created), DWORD{SERVICE_STOPPED});

  // The name, in any case, and the display name are the service's own.
  EXPECT_EQ(Create(manager, u"TEST SERVICE"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_EXISTS});
  EXPECT_EQ(CreateServiceW(manager, u"Other", u"Shown Name", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"C:\\x", nullptr, nullptr, nullptr, nullptr,
                           nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_DUPLICATE_SERVICE_NAME});
  SC_HANDLE opened = OpenServiceW(manager, u"test service", SERVICE_QUERY_STATUS);
  EXPECT_NE(opened, nullptr) << GetLastError();
  EXPECT_EQ(OpenServiceW(manager, u"Nobody", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
  CloseServiceHandle(opened);
  CloseServiceHandle(created);
  CloseServiceHandle(manager);
  EXPECT_EQ(machine_.Kernel().Services().OpenHandleCount(), 0u);
}

TEST_F(ServiceCalls, ConfigurationsTheMachineCannotRunAreRefused) {
  SC_HANDLE manager = Manager();
  struct Case {
    const char* what;
    DWORD type;
    DWORD start;
    DWORD errorControl;
    const char16_t* name;
    const char16_t* image;
    DWORD error;
  };
  const Case cases[] = {
      {"shared process", SERVICE_WIN32_SHARE_PROCESS, SERVICE_DEMAND_START, 1, u"a", u"C:\\x", ERROR_INVALID_PARAMETER},
      {"interactive driver", SERVICE_KERNEL_DRIVER | SERVICE_INTERACTIVE_PROCESS, 1, 1, u"a", u"C:\\x",
       ERROR_INVALID_PARAMETER},
      {"boot start program", SERVICE_WIN32_OWN_PROCESS, SERVICE_BOOT_START, 1, u"a", u"C:\\x", ERROR_INVALID_PARAMETER},
      {"start type 5", SERVICE_KERNEL_DRIVER, 5, 1, u"a", u"C:\\x", ERROR_INVALID_PARAMETER},
      {"error control 4", SERVICE_KERNEL_DRIVER, 1, 4, u"a", u"C:\\x", ERROR_INVALID_PARAMETER},
      {"no image", SERVICE_KERNEL_DRIVER, 1, 1, u"a", u"", ERROR_INVALID_PARAMETER},
      {"backslash in name", SERVICE_KERNEL_DRIVER, 1, 1, u"a\\b", u"C:\\x", ERROR_INVALID_NAME},
      {"empty name", SERVICE_KERNEL_DRIVER, 1, 1, u"", u"C:\\x", ERROR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    SC_HANDLE created = CreateServiceW(manager, c.name, nullptr, SERVICE_ALL_ACCESS, c.type, c.start, c.errorControl,
                                       c.image, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(created, nullptr) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  EXPECT_EQ(CreateServiceW(manager, u"a", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                           1, u"C:\\x", nullptr, nullptr, u"Other\0", nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER}) << "dependencies are not kept";
  // A key of settings below Services is no service.
  HKEY settings;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\NBAdmin", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &settings, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(settings);
  EXPECT_EQ(OpenServiceW(manager, u"NBAdmin", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
  CloseServiceHandle(manager);
}

TEST_F(ServiceCalls, UsersOtherThanRootMayOnlyLook) {
  SC_HANDLE manager = Manager();
  SC_HANDLE created = Create(manager);
  ASSERT_NE(created, nullptr) << GetLastError();
  CloseServiceHandle(created);
  CloseServiceHandle(manager);

  transport_.ActAsUser(kUser);
  EXPECT_EQ(Manager(SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_EQ(Manager(GENERIC_WRITE), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  SC_HANDLE looking = Manager(SC_MANAGER_CONNECT);
  ASSERT_NE(looking, nullptr) << GetLastError();
  for (DWORD access : {DWORD{SERVICE_START}, DWORD{SERVICE_STOP}, DWORD{DELETE}, DWORD{SERVICE_CHANGE_CONFIG},
                       DWORD{GENERIC_EXECUTE}, DWORD{SERVICE_ALL_ACCESS}}) {
    EXPECT_EQ(OpenServiceW(looking, kName, access), nullptr) << access;
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED}) << access;
  }
  SC_HANDLE query = OpenServiceW(looking, kName, SERVICE_QUERY_STATUS | SERVICE_INTERROGATE);
  ASSERT_NE(query, nullptr) << GetLastError();
  EXPECT_EQ(State(query), DWORD{SERVICE_STOPPED});
  // A handle without the right does not start, stop or delete, whoever holds it.
  EXPECT_FALSE(StartServiceW(query, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  SERVICE_STATUS status;
  EXPECT_FALSE(ControlService(query, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_FALSE(DeleteService(query));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  // Nor does a manager opened to look create anything.
  EXPECT_EQ(Create(looking, u"Mine"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  // Nor does the other road, the hive itself.
  HKEY key;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Mine", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  CloseServiceHandle(query);
  CloseServiceHandle(looking);
}

TEST_F(ServiceCalls, DeletionWaitsForTheLastHandleAndTheStop) {
  SC_HANDLE manager = Manager();
  SC_HANDLE created = Create(manager);
  SC_HANDLE second = OpenServiceW(manager, kName, SERVICE_QUERY_STATUS);
  ASSERT_TRUE(created && second);
  ASSERT_TRUE(DeleteService(created)) << GetLastError();
  EXPECT_FALSE(DeleteService(created));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_MARKED_FOR_DELETE});
  EXPECT_FALSE(StartServiceW(created, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_MARKED_FOR_DELETE});
  EXPECT_EQ(Create(manager), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_MARKED_FOR_DELETE});
  CloseServiceHandle(created);
  EXPECT_EQ(State(second), DWORD{SERVICE_STOPPED}) << "still there while a handle is open";
  CloseServiceHandle(second);
  EXPECT_EQ(OpenServiceW(manager, kName, SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
  SC_HANDLE again = Create(manager);
  EXPECT_NE(again, nullptr) << GetLastError();
  CloseServiceHandle(again);
  CloseServiceHandle(manager);
}

TEST_F(ServiceCalls, AProgramRunsThroughItsStatesAsItsHandlerReports) {
  SC_HANDLE manager = Manager();
  SC_HANDLE handle = Create(manager);
  ASSERT_NE(handle, nullptr) << GetLastError();
  LPCWSTR arguments[] = {u"/first", u"second one"};
  ASSERT_TRUE(StartServiceW(handle, 2, arguments)) << GetLastError();
  ASSERT_TRUE(WaitFor([&] { return state_.status.dwCurrentState == SERVICE_RUNNING; }));
  EXPECT_EQ(state_.arguments, (std::vector<std::u16string>{kName, u"/first", u"second one"}));
  EXPECT_EQ(programs_->Launched(), 1u);
  EXPECT_FALSE(StartServiceW(handle, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_ALREADY_RUNNING});

  struct Step {
    DWORD control;
    DWORD state;
  };
  for (Step step : {Step{SERVICE_CONTROL_PAUSE, SERVICE_PAUSED}, Step{SERVICE_CONTROL_INTERROGATE, SERVICE_PAUSED},
                    Step{SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING}, Step{SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING}}) {
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(handle, step.control, &status)) << step.control << " " << GetLastError();
    // The call returns once the handler has run: its report is the status returned.
    if (step.control != SERVICE_CONTROL_STOP) {
      EXPECT_EQ(status.dwCurrentState, step.state) << step.control;
    }
  }
  ASSERT_TRUE(WaitFor([&] { return state_.mainReturned && state_.dispatched; }));
  EXPECT_EQ(state_.controls, (std::vector<DWORD>{SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_INTERROGATE,
                                                 SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_STOP}));
  SERVICE_STATUS_PROCESS stopped{};
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO_LEVEL, reinterpret_cast<LPBYTE>(&stopped),
                                   sizeof stopped, &needed));
  EXPECT_EQ(stopped.dwCurrentState, DWORD{SERVICE_STOPPED});
  EXPECT_EQ(stopped.dwWin32ExitCode, DWORD{0});
  EXPECT_EQ(stopped.dwProcessId, DWORD{0});
  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(handle, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_NOT_ACTIVE});
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
  CloseServiceHandle(handle);
  CloseServiceHandle(manager);
}

TEST_F(ServiceCalls, ControlsAServiceDoesNotTakeAreRefusedBeforeTheyReachIt) {
  SC_HANDLE manager = Manager();
  SC_HANDLE handle = Create(manager);
  ASSERT_TRUE(StartServiceW(handle, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitFor([&] { return state_.status.dwCurrentState == SERVICE_RUNNING; }));
  SERVICE_STATUS status;
  EXPECT_FALSE(ControlService(handle, SERVICE_CONTROL_SHUTDOWN, &status));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_SERVICE_CONTROL}) << "shutdown comes from the machine only";
  EXPECT_FALSE(ControlService(handle, 77, &status));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
  AsServiceProcess(handle, [&] {
    std::lock_guard lock(state_.mutex);
    state_.Report(SERVICE_STOP_PENDING);
  });
  EXPECT_FALSE(ControlService(handle, SERVICE_CONTROL_PAUSE, &status));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_CANNOT_ACCEPT_CTRL});
  AsServiceProcess(handle, [&] {
    std::lock_guard lock(state_.mutex);
    state_.status.dwCurrentState = SERVICE_RUNNING;
    state_.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    EXPECT_TRUE(SetServiceStatus(state_.handle, &state_.status));
  });
  EXPECT_FALSE(ControlService(handle, SERVICE_CONTROL_PAUSE, &status));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_SERVICE_CONTROL});
  EXPECT_TRUE(state_.controls.empty());
  // Reports the machine cannot take: a state outside 1..7, and any report of a process
  // that does not run the service (here the test's own).
  SERVICE_STATUS wrong = state_.status;
  wrong.dwCurrentState = 8;
  AsServiceProcess(handle, [&] {
    EXPECT_FALSE(SetServiceStatus(state_.handle, &wrong));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_DATA});
  });
  EXPECT_FALSE(SetServiceStatus(nullptr, &wrong));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
  wrong.dwCurrentState = SERVICE_STOPPED;
  EXPECT_FALSE(SetServiceStatus(state_.handle, &wrong));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(State(handle), DWORD{SERVICE_RUNNING});
  EXPECT_TRUE(ControlService(handle, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  CloseServiceHandle(handle);
  CloseServiceHandle(manager);
}

TEST_F(ServiceCalls, AProgramThatEndsIsStoppedAndMayStartAgain) {
  SC_HANDLE manager = Manager();
  SC_HANDLE handle = Create(manager);
  ASSERT_TRUE(StartServiceW(handle, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitFor([&] { return state_.status.dwCurrentState == SERVICE_RUNNING; }));
  SERVICE_STATUS_PROCESS running{};
  DWORD needed;
  ASSERT_TRUE(QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO_LEVEL, reinterpret_cast<LPBYTE>(&running),
                                   sizeof running, &needed));
  ASSERT_NE(running.dwProcessId, 0u);
  // What the launcher reports when the process dies.
  machine_.Kernel().Services().ProcessEnded(running.dwProcessId);
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(handle, &status));
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
  EXPECT_EQ(status.dwWin32ExitCode, DWORD{ERROR_PROCESS_ABORTED});
  // Its dispatcher hears that it has ended; what the dead process still reports is dropped.
  ASSERT_TRUE(WaitFor([&] { return state_.dispatched; }));
  AsProcess(running.dwProcessId, [&] { EXPECT_TRUE(SetServiceStatus(state_.handle, &state_.status)); });
  EXPECT_EQ(State(handle), DWORD{SERVICE_STOPPED});
  {
    std::lock_guard lock(state_.mutex);
    state_.stop = true;
    state_.changed.notify_all();
  }
  ASSERT_TRUE(programs_->WaitEnded(running.dwProcessId, 5000));

  TestService second;
  service = &second;
  ASSERT_TRUE(StartServiceW(handle, 0, nullptr)) << GetLastError();
  std::unique_lock lock(second.mutex);
  EXPECT_TRUE(second.changed.wait_for(lock, 5s, [&] { return second.status.dwCurrentState == SERVICE_RUNNING; }));
  lock.unlock();
  EXPECT_EQ(programs_->Launched(), 2u);
  ASSERT_TRUE(ControlService(handle, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  lock.lock();
  EXPECT_TRUE(second.changed.wait_for(lock, 5s, [&] { return second.dispatched && second.mainReturned; }));
  lock.unlock();
  service = &state_;
  CloseServiceHandle(handle);
  CloseServiceHandle(manager);
}

TEST_F(ServiceCalls, AProgramThatNeverConnectsFailsTheStartAndIsEnded) {
  auto release = std::make_shared<std::atomic<bool>>(false);
  struct Release {
    std::shared_ptr<std::atomic<bool>> flag;
    ~Release() { *flag = true; }
  } releaseAtEnd{release};
  programs_->Add(program_, [release](const std::vector<std::string>&) {
    while (!*release) std::this_thread::sleep_for(10ms);
    return 0;
  });
  machine_.Kernel().Services().SetTimeouts(300ms, 300ms);
  SC_HANDLE manager = Manager();
  SC_HANDLE handle = Create(manager);
  EXPECT_FALSE(StartServiceW(handle, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_REQUEST_TIMEOUT});
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(handle, &status));
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
  EXPECT_TRUE(programs_->Terminated(7000));
  *release = true;

  // A program that ends before it connects fails the start at once.
  programs_->Add(program_, [](const std::vector<std::string>&) { return 1; });
  auto started = std::chrono::steady_clock::now();
  machine_.Kernel().Services().SetTimeouts(10s, 1s);
  EXPECT_FALSE(StartServiceW(handle, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_REQUEST_TIMEOUT});
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  CloseServiceHandle(handle);
  CloseServiceHandle(manager);
}

TEST_F(ServiceCalls, ADispatcherOfAProgramTheMachineDidNotStartFindsNoController) {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kName), ServiceMain}, {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_FAILED_SERVICE_CONTROLLER_CONNECT});
  EXPECT_EQ(RegisterServiceCtrlHandlerW(kName, Handler), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
  // Nor does a program started for another service.
  programs_->Add(program_, [](const std::vector<std::string>&) {
    SERVICE_TABLE_ENTRYW other[] = {{const_cast<LPWSTR>(u"Someone Else"), ServiceMain}, {nullptr, nullptr}};
    BOOL dispatched = StartServiceCtrlDispatcherW(other);
    std::lock_guard lock(service->mutex);
    service->dispatched = dispatched;
    service->dispatchError = GetLastError();
    service->changed.notify_all();
    return 0;
  });
  machine_.Kernel().Services().SetTimeouts(2s, 1s);
  SC_HANDLE manager = Manager();
  SC_HANDLE handle = Create(manager);
  EXPECT_FALSE(StartServiceW(handle, 0, nullptr));
  EXPECT_EQ(state_.dispatchError, DWORD{ERROR_FAILED_SERVICE_CONTROLLER_CONNECT});
  CloseServiceHandle(handle);
  CloseServiceHandle(manager);
}

TEST_F(ServiceCalls, MachineShutdownReachesTheProgramsThatAcceptIt) {
  SC_HANDLE manager = Manager();
  SC_HANDLE handle = Create(manager);
  ASSERT_TRUE(StartServiceW(handle, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitFor([&] { return state_.status.dwCurrentState == SERVICE_RUNNING; }));
  std::vector<std::string> log;
  machine_.Kernel().Services().ShutdownServices(5s, [&](const std::string& line) { log.push_back(line); });
  EXPECT_EQ(State(handle), DWORD{SERVICE_STOPPED});
  EXPECT_EQ(state_.controls, std::vector<DWORD>{SERVICE_CONTROL_SHUTDOWN});
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log[0].find("shutdown"), std::string::npos);
  CloseServiceHandle(handle);
  CloseServiceHandle(manager);
}

TEST_F(ServiceCalls, AProgramThatIgnoresShutdownIsEndedAfterTheWait) {
  state_.acceptShutdown = false;
  SC_HANDLE manager = Manager();
  SC_HANDLE handle = Create(manager);
  ASSERT_TRUE(StartServiceW(handle, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitFor([&] { return state_.status.dwCurrentState == SERVICE_RUNNING; }));
  SERVICE_STATUS_PROCESS running{};
  DWORD needed;
  ASSERT_TRUE(QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO_LEVEL, reinterpret_cast<LPBYTE>(&running),
                                   sizeof running, &needed));
  machine_.Kernel().Services().ShutdownServices(200ms, [](const std::string&) {});
  EXPECT_TRUE(state_.controls.empty());
  EXPECT_TRUE(programs_->Terminated(running.dwProcessId));
  EXPECT_EQ(State(handle), DWORD{SERVICE_STOPPED});
  CloseServiceHandle(handle);
  CloseServiceHandle(manager);
}

TEST_F(ServiceCalls, ADriverServiceLoadsItsImageAndUnloadsOnStop) {
  fs::create_directories(root_ + "/Windows/system32/drivers");
  fs::copy_file(NBDV15_IMAGE, root_ + "/Windows/system32/drivers/nbdv15.sys");
  SC_HANDLE manager = Manager();
  SC_HANDLE handle = Create(manager, u"nbdv15", u"system32\\drivers\\nbdv15.sys", SERVICE_KERNEL_DRIVER,
                            SERVICE_DEMAND_START);
  ASSERT_NE(handle, nullptr) << GetLastError();
  EXPECT_EQ(CreateFileW(u"\\\\.\\nbdvCntl15", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  ASSERT_TRUE(StartServiceW(handle, 0, nullptr)) << GetLastError();
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(handle, &status));
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_RUNNING});
  EXPECT_EQ(status.dwControlsAccepted, DWORD{SERVICE_ACCEPT_STOP}) << "it has an unload routine";
  HANDLE device =
      CreateFileW(u"\\\\.\\nbdvCntl15", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(device);
  EXPECT_FALSE(StartServiceW(handle, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_ALREADY_RUNNING});
  EXPECT_FALSE(ControlService(handle, SERVICE_CONTROL_PAUSE, &status));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_SERVICE_CONTROL});
  ASSERT_TRUE(ControlService(handle, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
  EXPECT_EQ(CreateFileW(u"\\\\.\\nbdvCntl15", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  // And loads again.
  ASSERT_TRUE(StartServiceW(handle, 0, nullptr)) << GetLastError();
  CloseServiceHandle(handle);

  // An image that is missing or no image at all.
  SC_HANDLE missing = Create(manager, u"gone", u"\\SystemRoot\\system32\\drivers\\gone.sys", SERVICE_KERNEL_DRIVER);
  EXPECT_FALSE(StartServiceW(missing, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
  std::ofstream(root_ + "/Windows/system32/drivers/text.sys") << "not an image";
  SC_HANDLE text = Create(manager, u"text", u"\\??\\C:\\Windows\\system32\\drivers\\text.sys", SERVICE_KERNEL_DRIVER);
  EXPECT_FALSE(StartServiceW(text, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_EXE_FORMAT});
  EXPECT_EQ(State(text), DWORD{SERVICE_STOPPED});
  CloseServiceHandle(missing);
  CloseServiceHandle(text);
  CloseServiceHandle(manager);
}

TEST_F(ServiceCalls, BootStartsSystemDriversThenAutomaticServices) {
  fs::create_directories(root_ + "/Windows/system32/drivers");
  fs::copy_file(NBDV15_IMAGE, root_ + "/Windows/system32/drivers/nbdv15.sys");
  SC_HANDLE manager = Manager();
  SC_HANDLE driver =
      Create(manager, u"nbdv15", u"system32\\drivers\\nbdv15.sys", SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START);
  SC_HANDLE program = Create(manager, kName, u"C:\\Program Files\\Test\\svc", SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_AUTO_START);
  SC_HANDLE demand = Create(manager, u"Demand", u"C:\\Program Files\\Test\\svc", SERVICE_WIN32_OWN_PROCESS,
                            SERVICE_DEMAND_START);
  std::vector<std::string> log;
  auto record = [&](const std::string& line) { log.push_back(line); };
  nb::kernel::ServiceManager& services = machine_.Kernel().Services();
  services.StartBootDrivers(record);
  EXPECT_EQ(State(driver), DWORD{SERVICE_RUNNING});
  EXPECT_EQ(State(program), DWORD{SERVICE_STOPPED});
  services.StartAutoServices(record);
  ASSERT_TRUE(WaitFor([&] { return state_.status.dwCurrentState == SERVICE_RUNNING; }));
  EXPECT_EQ(State(program), DWORD{SERVICE_RUNNING});
  EXPECT_EQ(State(demand), DWORD{SERVICE_STOPPED});
  EXPECT_EQ(log, (std::vector<std::string>{"started the service nbdv15", "started the service Test Service"}));
  services.ShutdownServices(5s, record);
  EXPECT_EQ(State(program), DWORD{SERVICE_STOPPED});
  for (SC_HANDLE handle : {driver, program, demand}) CloseServiceHandle(handle);
  CloseServiceHandle(manager);
}

}  // namespace
