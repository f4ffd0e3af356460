// LoadLibraryW, FreeLibrary, GetProcAddress and GetModuleHandleW: built-in modules, the
// program, and shared objects loaded from files with dlopen.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include <windows.h>

#include "loaded_modules.h"
#include "nb/text.h"
#include "nb/win/module_names.h"

namespace nb::win {

namespace {

struct Registration {
  std::shared_ptr<LoadedModule> module;
  size_t references = 0;  // 0: never unloaded (built-in modules and the program)
  std::u16string leaf;    // file name, lower case, for GetModuleHandleW
  dev_t device = 0;
  ino_t inode = 0;
};

std::mutex registryMutex;
// Keyed by the handle value, which is the module's address.
std::map<HMODULE, Registration>& Registry() {
  static std::map<HMODULE, Registration> registry;
  return registry;
}

HMODULE HandleOf(const LoadedModule* module) {
  return reinterpret_cast<HMODULE>(const_cast<LoadedModule*>(module));
}

std::u16string Lower(std::u16string_view text) {
  std::u16string lower(text);
  for (char16_t& c : lower) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return lower;
}

std::u16string_view Leaf(std::u16string_view name) {
  size_t separator = name.find_last_of(u"\\/");
  return separator == std::u16string_view::npos ? name : name.substr(separator + 1);
}

bool IsBareName(std::u16string_view name) { return name.find_first_of(u"\\/:") == std::u16string_view::npos; }

// The built-in module a bare name means ("psapi", "PSAPI.DLL"), or null.
const BuiltInModule* BuiltInNamed(std::u16string_view name) {
  if (!IsBareName(name)) return nullptr;
  std::u16string lower = Lower(WithModuleExtension(name));
  for (const BuiltInModule* builtIn : {&kPsapiModule, &kKernel32Module}) {
    if (lower == std::u16string(builtIn->name) + u".dll") return builtIn;
  }
  return nullptr;
}

// Registers the built-in modules and the program on first use. Called with the lock held.
void RegisterPermanentModules() {
  auto& registry = Registry();
  static bool registered = false;
  if (registered) return;
  registered = true;
  for (const BuiltInModule* builtIn : {&kPsapiModule, &kKernel32Module}) {
    auto module = std::make_shared<LoadedModule>(LoadedModule::Kind::kBuiltIn, nullptr, builtIn, std::string());
    HMODULE handle = HandleOf(module.get());
    registry[handle] = Registration{std::move(module), 0, std::u16string(builtIn->name) + u".dll"};
  }
}

HMODULE ProgramHandle() {
  static HMODULE program = [] {
    auto module = std::make_shared<LoadedModule>(LoadedModule::Kind::kProgram, dlopen(nullptr, RTLD_NOW), nullptr,
                                                 std::string());
    HMODULE handle = HandleOf(module.get());
    std::lock_guard lock(registryMutex);
    Registry()[handle] = Registration{std::move(module), 0, {}};
    return handle;
  }();
  return program;
}

std::string ProgramFolder() {
  std::string path(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<size_t>(length) >= path.size()) return {};
  path.resize(static_cast<size_t>(length));
  return path.substr(0, path.rfind('/'));
}

// The host file a module name means (not a built-in one); nullopt with the error.
std::optional<std::string> ModuleFile(std::u16string_view name, DWORD* error) {
  std::u16string withExtension = WithModuleExtension(name);
  if (!IsBareName(withExtension)) return HostPathOfModuleFile(withExtension, error);
  std::string folder = ProgramFolder();
  if (folder.empty()) {
    *error = ERROR_MOD_NOT_FOUND;
    return std::nullopt;
  }
  *error = ERROR_SUCCESS;
  return folder + "/" + nb::text::Utf16ToUtf8(withExtension);
}

bool StatModuleFile(const std::string& path, struct stat* info, DWORD* error) {
  if (stat(path.c_str(), info) != 0) {
    *error = errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_MOD_NOT_FOUND;
    return false;
  }
  if (!S_ISREG(info->st_mode)) {
    *error = ERROR_BAD_EXE_FORMAT;
    return false;
  }
  return true;
}

HMODULE FailModule(DWORD error) {
  SetLastError(error);
  return nullptr;
}

}  // namespace

LoadedModule::LoadedModule(Kind kind, void* library, const BuiltInModule* builtIn, std::string hostPath,
                           dev_t device, ino_t inode)
    : kind_(kind), library_(library), builtIn_(builtIn), hostPath_(std::move(hostPath)), device_(device),
      inode_(inode) {
  if (!library_) return;
  auto* directory = static_cast<const NbResourceDirectory*>(dlsym(library_, NB_RESOURCE_DIRECTORY_SYMBOL));
  if (!directory || (kind_ == Kind::kFile && !Holds(directory))) return;
  if (directory->magic != kNbResourceMagic || directory->version != kNbResourceVersion ||
      directory->count > kNbResourceMaxEntries || (directory->count && !directory->entries)) {
    return;
  }
  resources_ = directory;
}

LoadedModule::~LoadedModule() {
  if (kind_ == Kind::kFile && library_) dlclose(library_);
}

FARPROC LoadedModule::Export(const char* name) const {
  if (kind_ == Kind::kBuiltIn) {
    for (size_t i = 0; i < builtIn_->exportCount; ++i) {
      if (std::strcmp(builtIn_->exports[i].name, name) == 0) return builtIn_->exports[i].address;
    }
    return nullptr;
  }
  void* symbol = library_ ? dlsym(library_, name) : nullptr;
  if (!symbol || (kind_ == Kind::kFile && !Holds(symbol))) return nullptr;
  return reinterpret_cast<FARPROC>(symbol);
}

bool LoadedModule::Holds(const void* symbol) const {
  Dl_info info;
  struct stat file;
  return dladdr(symbol, &info) && info.dli_fname && stat(info.dli_fname, &file) == 0 && file.st_dev == device_ &&
         file.st_ino == inode_;
}

std::shared_ptr<const LoadedModule> ModuleOfHandle(HMODULE module, DWORD* error) {
  if (!module) module = ProgramHandle();
  std::lock_guard lock(registryMutex);
  RegisterPermanentModules();
  auto found = Registry().find(module);
  if (found == Registry().end()) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  *error = ERROR_SUCCESS;
  return found->second.module;
}

}  // namespace nb::win

using nb::win::LoadedModule;
using nb::win::Registration;

HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags) {
  if (!fileName || !*fileName || file || (flags & ~DWORD{LOAD_LIBRARY_AS_DATAFILE})) {
    return nb::win::FailModule(ERROR_INVALID_PARAMETER);
  }
  std::u16string_view name(fileName);
  if (const nb::win::BuiltInModule* builtIn = nb::win::BuiltInNamed(name)) {
    std::lock_guard lock(nb::win::registryMutex);
    nb::win::RegisterPermanentModules();
    for (auto& [handle, registration] : nb::win::Registry()) {
      if (registration.module->kind() == LoadedModule::Kind::kBuiltIn &&
          registration.leaf == std::u16string(builtIn->name) + u".dll") {
        return handle;
      }
    }
    return nb::win::FailModule(ERROR_MOD_NOT_FOUND);
  }
  DWORD error;
  std::optional<std::string> path = nb::win::ModuleFile(name, &error);
  if (!path) return nb::win::FailModule(error);
  struct stat info;
  if (!nb::win::StatModuleFile(*path, &info, &error)) return nb::win::FailModule(error);
  auto findLoaded = [&]() -> HMODULE {
    for (auto& [handle, registration] : nb::win::Registry()) {
      if (registration.references && registration.device == info.st_dev && registration.inode == info.st_ino) {
        ++registration.references;
        return handle;
      }
    }
    return nullptr;
  };
  {
    std::lock_guard lock(nb::win::registryMutex);
    if (HMODULE loaded = findLoaded()) return loaded;
  }
  // dlopen runs outside the lock: a module's initialisers may load modules themselves.
  void* library = dlopen(path->c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) return nb::win::FailModule(ERROR_BAD_EXE_FORMAT);
  auto module = std::make_shared<LoadedModule>(LoadedModule::Kind::kFile, library, nullptr, *path, info.st_dev,
                                               info.st_ino);
  std::lock_guard lock(nb::win::registryMutex);
  // Another thread may have loaded the same file meanwhile: this load counts on its module.
  if (HMODULE loaded = findLoaded()) return loaded;
  HMODULE handle = nb::win::HandleOf(module.get());
  std::u16string leaf = nb::win::Lower(nb::win::Leaf(nb::text::Utf8ToUtf16(*path)));
  nb::win::Registry()[handle] = Registration{std::move(module), 1, std::move(leaf), info.st_dev, info.st_ino};
  return handle;
}

HMODULE LoadLibraryW(LPCWSTR fileName) { return LoadLibraryExW(fileName, nullptr, 0); }

BOOL FreeLibrary(HMODULE module) {
  std::shared_ptr<LoadedModule> released;  // unloaded after the lock is let go
  std::lock_guard lock(nb::win::registryMutex);
  auto& registry = nb::win::Registry();
  auto found = registry.find(module);
  if (!module || found == registry.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (found->second.references && --found->second.references == 0) {
    released = std::move(found->second.module);
    registry.erase(found);
  }
  return TRUE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  DWORD error;
  std::shared_ptr<const LoadedModule> loaded = nb::win::ModuleOfHandle(module, &error);
  if (!loaded) {
    SetLastError(error);
    return nullptr;
  }
  // Ordinals name nothing here.
  if (!procName || IS_INTRESOURCE(procName)) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  FARPROC address = loaded->Export(procName);
  if (!address) SetLastError(ERROR_PROC_NOT_FOUND);
  return address;
}

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
  if (!moduleName) return nb::win::ProgramHandle();
  std::u16string_view name(moduleName);
  if (name.empty()) return nb::win::FailModule(ERROR_MOD_NOT_FOUND);
  if (nb::win::IsBareName(name)) {
    std::u16string leaf = nb::win::Lower(nb::win::WithModuleExtension(name));
    std::lock_guard lock(nb::win::registryMutex);
    nb::win::RegisterPermanentModules();
    for (auto& [handle, registration] : nb::win::Registry()) {
      if (!registration.leaf.empty() && registration.leaf == leaf) return handle;
    }
    return nb::win::FailModule(ERROR_MOD_NOT_FOUND);
  }
  DWORD error;
  std::optional<std::string> path = nb::win::ModuleFile(name, &error);
  struct stat info;
  if (!path || stat(path->c_str(), &info) != 0) return nb::win::FailModule(ERROR_MOD_NOT_FOUND);
  std::lock_guard lock(nb::win::registryMutex);
  for (auto& [handle, registration] : nb::win::Registry()) {
    if (registration.references && registration.device == info.st_dev && registration.inode == info.st_ino) {
      return handle;
    }
  }
  return nb::win::FailModule(ERROR_MOD_NOT_FOUND);
}
