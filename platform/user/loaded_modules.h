// The modules of this process that LoadLibraryW knows: built into libnbwin, the program
// itself, or shared objects loaded from files. Private to libnbwin.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include <windows.h>

#include "nb/resource_module.h"

namespace nb::win {

// A function a built-in module exports by name.
struct BuiltInExport {
  const char* name;
  FARPROC address;
};

// An exported function as GetProcAddress hands it out; the caller casts it back.
template <typename Function>
FARPROC ExportOf(Function* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

struct BuiltInModule {
  std::u16string_view name;  // without ".dll", lower case
  const BuiltInExport* exports;
  size_t exportCount;
};

extern const BuiltInModule kPsapiModule;
extern const BuiltInModule kKernel32Module;

// A module while it is loaded; a call that uses one holds it, so FreeLibrary on another
// thread unloads it only after that call.
class LoadedModule {
 public:
  enum class Kind { kBuiltIn, kProgram, kFile };

  // A file module is known by its device and inode: the loader may hold it under another
  // of its names.
  LoadedModule(Kind kind, void* library, const BuiltInModule* builtIn, std::string hostPath, dev_t device = 0,
               ino_t inode = 0);
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  Kind kind() const { return kind_; }
  const std::string& hostPath() const { return hostPath_; }
  // The module's resource directory, null when it holds none.
  const NbResourceDirectory* resources() const { return resources_; }
  FARPROC Export(const char* name) const;

 private:
  // Whether `symbol` lies in this module's file, not in one the module depends on.
  bool Holds(const void* symbol) const;

  Kind kind_;
  void* library_;                // dlopen handle: kProgram and kFile
  const BuiltInModule* builtIn_;  // kBuiltIn
  std::string hostPath_;         // kFile: the resolved file
  dev_t device_;
  ino_t inode_;
  const NbResourceDirectory* resources_ = nullptr;
};

// The module behind a handle (null: the program); null with ERROR_INVALID_HANDLE.
std::shared_ptr<const LoadedModule> ModuleOfHandle(HMODULE module, DWORD* error);

}  // namespace nb::win
