// The running processes through tool help, PSAPI and VDMDBG.
#include "process_enumerator.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "lock_records.h"
#include "nb/text.h"

namespace vault {

namespace {

constexpr DWORD kIdsStep = 256;       // ids asked for at first and added when the buffer fills
constexpr DWORD kNameUnits = 256;     // a PSAPI or VDM file name
constexpr ACCESS_MASK kQueryAndRead = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
constexpr std::u16string_view kVdmHost = u"NTVDM.EXE";

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
  // Through void*: the export's real type is Fn, not FARPROC's.
  return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

bool EndsWithVdmHost(const std::u16string& name) {
  return name.size() >= kVdmHost.size() && EqualIgnoringCase(std::u16string_view(name).substr(name.size() - kVdmHost.size()), kVdmHost);
}

}  // namespace

ProcessEnumerator::ProcessEnumerator() {
  psapi_ = LoadLibraryW(u"PSAPI");
  kernel32_ = LoadLibraryW(u"Kernel32");
  vdmdbg_ = LoadLibraryW(u"VDMDBG");
  enumProcesses_ = Lookup<EnumProcessesFn>(psapi_, "EnumProcesses");
  enumProcessModules_ = Lookup<EnumProcessModulesFn>(psapi_, "EnumProcessModules");
  getModuleFileNameEx_ = Lookup<GetModuleFileNameExFn>(psapi_, "GetModuleFileNameExW");
  // The wide forms: names of any language survive.
  createSnapshot_ = Lookup<CreateSnapshotFn>(kernel32_, "CreateToolhelp32Snapshot");
  process32First_ = Lookup<Process32Fn>(kernel32_, "Process32FirstW");
  process32Next_ = Lookup<Process32Fn>(kernel32_, "Process32NextW");
  module32First_ = Lookup<Module32Fn>(kernel32_, "Module32FirstW");
  module32Next_ = Lookup<Module32Fn>(kernel32_, "Module32NextW");
  vdmEnumTasks_ = Lookup<VdmEnumTaskFn>(vdmdbg_, "VDMEnumTaskWOWEx");
  if (enumProcesses_ && enumProcessModules_ && getModuleFileNameEx_) available_ |= kMethodPsapi;
  if (createSnapshot_ && process32First_ && process32Next_ && module32First_ && module32Next_) {
    available_ |= kMethodToolHelp;
  }
  if (vdmEnumTasks_ && (available_ & (kMethodPsapi | kMethodToolHelp))) available_ |= kMethodVdm;
  method_ = (available_ & kMethodToolHelp) ? kMethodToolHelp : (available_ & kMethodPsapi);
  method_ |= available_ & kMethodVdm;
}

ProcessEnumerator::~ProcessEnumerator() {
  for (HMODULE module : {psapi_, kernel32_, vdmdbg_}) {
    if (module) FreeLibrary(module);
  }
}

bool ProcessEnumerator::Use(int method) {
  if (method == 0 || (method & ~available_) != 0) return false;
  if ((method & (kMethodPsapi | kMethodToolHelp)) == (kMethodPsapi | kMethodToolHelp)) return false;
  method_ = method;
  return true;
}

bool ProcessEnumerator::ForEach(const std::function<bool(const std::u16string&, DWORD)>& visit) {
  if (method_ & kMethodToolHelp) return ForEachToolHelp(visit);
  if (method_ & kMethodPsapi) return ForEachPsapi(visit);
  return false;
}

bool ProcessEnumerator::ForEachToolHelp(const std::function<bool(const std::u16string&, DWORD)>& visit) {
  HANDLE snapshot = createSnapshot_(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = process32First_(snapshot, &entry); more; more = process32Next_(snapshot, &entry)) {
    std::u16string name(FieldText(entry.szExeFile).value_or(u""));
    if (!visit(name, entry.th32ProcessID) || !VisitTasks(name, entry.th32ProcessID, visit)) break;
  }
  CloseHandle(snapshot);
  return true;
}

bool ProcessEnumerator::ForEachPsapi(const std::function<bool(const std::u16string&, DWORD)>& visit) {
  std::vector<DWORD> ids;
  DWORD returned = 0;
  // A buffer that comes back full may have cut the list: grow it and ask again.
  for (DWORD size = kIdsStep;; size += kIdsStep) {
    try {
      ids.assign(size, 0);
    } catch (const std::bad_alloc&) {
      return false;
    }
    if (!enumProcesses_(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &returned)) return false;
    if (returned < ids.size() * sizeof(DWORD)) break;
  }
  ids.resize(returned / sizeof(DWORD));
  for (DWORD pid : ids) {
    std::u16string name;
    HANDLE process = OpenProcess(kQueryAndRead, FALSE, pid);
    if (!process) {
      name = kNoAccessName;
    } else {
      HMODULE first = nullptr;
      DWORD needed = 0;
      WCHAR file[kNameUnits] = {};
      if (enumProcessModules_(process, &first, sizeof first, &needed) &&
          getModuleFileNameEx_(process, first, file, kNameUnits) > 0) {
        name = FieldText(file).value_or(u"");
      } else {
        name = kNoNameName;
      }
      CloseHandle(process);
    }
    if (!visit(name, pid) || !VisitTasks(name, pid, visit)) break;
  }
  return true;
}

bool ProcessEnumerator::VisitTasks(const std::u16string& name, DWORD pid,
                                   const std::function<bool(const std::u16string&, DWORD)>& visit) {
  if (!(method_ & kMethodVdm) || !vdmEnumTasks_ || !EndsWithVdmHost(name)) return true;
  // The tasks are queued while VDMDBG walks them and handed out afterwards.
  std::deque<std::u16string> tasks;
  auto collect = [](DWORD, WORD, WORD, CHAR*, CHAR* fileName, intptr_t queue) -> BOOL {
    std::string file = fileName ? std::string(fileName, strnlen(fileName, kNameUnits - 1)) : std::string();
    reinterpret_cast<std::deque<std::u16string>*>(queue)->push_back(nb::text::Utf8ToUtf16(file));
    return FALSE;
  };
  vdmEnumTasks_(pid, collect, reinterpret_cast<intptr_t>(&tasks));
  for (const std::u16string& task : tasks) {
    if (!visit(task, pid)) return false;
  }
  return true;
}

}  // namespace vault
