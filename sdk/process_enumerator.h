// The machine's running processes, enumerated through tool help or PSAPI (and VDMDBG's
// 16-bit tasks where that library exists), found with LoadLibraryW and GetProcAddress.
#pragma once

#include <deque>
#include <functional>
#include <string>

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

namespace vault {

// Methods, also the bits of the availability mask.
inline constexpr int kMethodPsapi = 1;
inline constexpr int kMethodToolHelp = 2;
inline constexpr int kMethodVdm = 4;

class ProcessEnumerator {
 public:
  // Loads the libraries and looks up their functions.
  ProcessEnumerator();
  ~ProcessEnumerator();
  ProcessEnumerator(const ProcessEnumerator&) = delete;
  ProcessEnumerator& operator=(const ProcessEnumerator&) = delete;

  // kMethodPsapi when every PSAPI function was found, + kMethodToolHelp for tool help,
  // + kMethodVdm when the VDM function was found and one of the others is there.
  int Available() const { return available_; }
  int Method() const { return method_; }
  // Takes `method` when every method it names is available; else keeps the one in use.
  bool Use(int method);

  // Calls `visit` with each process's name and id in enumeration order until it returns
  // false; false when the enumeration could not start.
  bool ForEach(const std::function<bool(const std::u16string& name, DWORD pid)>& visit);

  // The names a process gets when PSAPI cannot tell it.
  static constexpr const char16_t* kNoAccessName = u"N/A (security restriction)";
  static constexpr const char16_t* kNoNameName = u"N/A (error)";

 private:
  using EnumProcessesFn = BOOL (*)(DWORD*, DWORD, LPDWORD);
  using EnumProcessModulesFn = BOOL (*)(HANDLE, HMODULE*, DWORD, LPDWORD);
  using GetModuleFileNameExFn = DWORD (*)(HANDLE, HMODULE, LPWSTR, DWORD);
  using CreateSnapshotFn = HANDLE (*)(DWORD, DWORD);
  using Process32Fn = BOOL (*)(HANDLE, LPPROCESSENTRY32W);
  using Module32Fn = BOOL (*)(HANDLE, LPMODULEENTRY32W);
  // VDMDBG's task walk: the callback gets a task's thread, module and task ids, its module
  // name and file name (ANSI), and the caller's value; returning TRUE stops the walk.
  using TaskCallback = BOOL (*)(DWORD, WORD, WORD, CHAR*, CHAR*, intptr_t);
  using VdmEnumTaskFn = INT (*)(DWORD, TaskCallback, intptr_t);

  bool ForEachToolHelp(const std::function<bool(const std::u16string&, DWORD)>& visit);
  bool ForEachPsapi(const std::function<bool(const std::u16string&, DWORD)>& visit);
  // After an NTVDM process: its 16-bit tasks, each under the NTVDM process's id.
  bool VisitTasks(const std::u16string& name, DWORD pid,
                  const std::function<bool(const std::u16string&, DWORD)>& visit);

  HMODULE psapi_ = nullptr;
  HMODULE kernel32_ = nullptr;
  HMODULE vdmdbg_ = nullptr;
  EnumProcessesFn enumProcesses_ = nullptr;
  EnumProcessModulesFn enumProcessModules_ = nullptr;
  GetModuleFileNameExFn getModuleFileNameEx_ = nullptr;
  CreateSnapshotFn createSnapshot_ = nullptr;
  Process32Fn process32First_ = nullptr;
  Process32Fn process32Next_ = nullptr;
  Module32Fn module32First_ = nullptr;
  Module32Fn module32Next_ = nullptr;
  VdmEnumTaskFn vdmEnumTasks_ = nullptr;
  int available_ = 0;
  int method_ = 0;
};

}  // namespace vault
