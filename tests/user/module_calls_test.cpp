// LoadLibraryW and the resource calls on built resource modules, plain shared objects and
// the built-in modules.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <fstream>
#include <string>

#include <windows.h>

#include "nb/text.h"
#include "nb/win/drives.h"

namespace {

std::u16string U(const std::string& text) { return nb::text::Utf8ToUtf16(text); }

std::u16string UnixName(const std::string& hostPath) { return u"\\\\?\\unix\\" + U(hostPath); }

// The module is unloaded when the test ends, also when it fails.
class Module {
 public:
  explicit Module(HMODULE module) : module_(module) {}
  ~Module() {
    if (module_) FreeLibrary(module_);
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

std::u16string LoadText(HMODULE module, UINT id, int size = 256) {
  std::u16string buffer(static_cast<size_t>(size), u'#');
  int length = LoadStringW(module, id, buffer.data(), size);
  return buffer.substr(0, static_cast<size_t>(length));
}

TEST(ModuleLoading, ResourceModuleByDrivePathUnixPathAndBareName) {
  nb::win::ScopedDrive drive(u'C', NB_PROGRAM_DIR);
  Module byDrive(LoadLibraryW(u"C:\\VAULT.EN"));
  ASSERT_NE(byDrive.get(), nullptr) << GetLastError();
  // The same file by another name is the same module, counted once more.
  Module byUnix(LoadLibraryW(UnixName(NB_PROGRAM_DIR "/VAULT.EN").c_str()));
  EXPECT_EQ(byUnix.get(), byDrive.get());
  Module byLowerDrive(LoadLibraryExW(u"c:/./VAULT.EN", nullptr, LOAD_LIBRARY_AS_DATAFILE));
  EXPECT_EQ(byLowerDrive.get(), byDrive.get());
  EXPECT_EQ(GetModuleHandleW(u"vault.en"), byDrive.get());
  EXPECT_EQ(GetModuleHandleW(u"C:\\VAULT.EN"), byDrive.get());

  // A bare name is looked for beside the program.
  Module beside(LoadLibraryW(u"TESTRES.EN"));
  ASSERT_NE(beside.get(), nullptr) << GetLastError();
  EXPECT_NE(beside.get(), byDrive.get());
  EXPECT_EQ(LoadText(beside.get(), 1), u"one");
}

TEST(ModuleLoading, ReferencesUnloadWithTheLast) {
  std::u16string name = UnixName(TEST_MODULE_DIR "/TESTRES.JP");
  HMODULE first = LoadLibraryW(name.c_str());
  ASSERT_NE(first, nullptr);
  HMODULE second = LoadLibraryW(name.c_str());
  EXPECT_EQ(first, second);
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(GetModuleHandleW(u"TESTRES.JP"), first) << "one reference is left";
  EXPECT_EQ(LoadText(first, 1), u"一");
  EXPECT_TRUE(FreeLibrary(second));
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleW(u"TESTRES.JP"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  // The handle of an unloaded module is no handle.
  EXPECT_FALSE(FreeLibrary(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  WCHAR buffer[8];
  EXPECT_EQ(LoadStringW(first, 1, buffer, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Threads that load, read and free one module at once: a call in progress keeps the module
// loaded, and the last FreeLibrary unloads it.
TEST(ModuleLoading, ThreadsLoadReadAndFreeAtOnce) {
  std::u16string name = UnixName(TEST_MODULE_DIR "/TESTRES.EN");
  std::atomic<int> wrong{0};
  auto work = [&] {
    for (int i = 0; i < 200; ++i) {
      HMODULE module = LoadLibraryW(name.c_str());
      if (!module || LoadText(module, 16) != u"sixteen" || !FreeLibrary(module)) ++wrong;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(GetModuleHandleW(u"TESTRES.EN"), nullptr);
}

struct LoadFailure {
  const char16_t* name;
  DWORD flags;
  DWORD error;
};

TEST(ModuleLoading, FailuresSayWhy) {
  std::string notAModule = TEST_MODULE_DIR "/not_a_module.so";
  std::ofstream(notAModule) << "just text\n";
  std::u16string notAModuleName = UnixName(notAModule);
  std::filesystem::create_directories(TEST_MODULE_DIR "/folder.mod");
  std::u16string folderName = UnixName(TEST_MODULE_DIR "/folder.mod");
  std::u16string relativeUnix = u"\\\\?\\unix\\VAULT.EN";
  nb::win::ScopedDrive drive(u'C', NB_PROGRAM_DIR);
  const LoadFailure failures[] = {
      {u"VDMDBG", 0, ERROR_MOD_NOT_FOUND},
      {u"VDMDBG.DLL", 0, ERROR_MOD_NOT_FOUND},
      {u"C:\\VAULT.XX", 0, ERROR_MOD_NOT_FOUND},
      {u"C:\\missing\\VAULT.EN", 0, ERROR_MOD_NOT_FOUND},
      {u"Q:\\VAULT.EN", 0, ERROR_MOD_NOT_FOUND},         // no such drive
      {u"sub\\VAULT.EN", 0, ERROR_MOD_NOT_FOUND},        // relative paths name nothing
      {relativeUnix.c_str(), 0, ERROR_MOD_NOT_FOUND},   // a unix path must be absolute
      {u"C:\\VAULT", 0, ERROR_MOD_NOT_FOUND},            // read as VAULT.dll
      {notAModuleName.c_str(), 0, ERROR_BAD_EXE_FORMAT},
      {folderName.c_str(), 0, ERROR_BAD_EXE_FORMAT},
      {u"", 0, ERROR_INVALID_PARAMETER},
      {u"C:\\VAULT.EN", 0x100, ERROR_INVALID_PARAMETER},  // a flag this platform does not serve
  };
  for (const LoadFailure& failure : failures) {
    SetLastError(0);
    HMODULE module = LoadLibraryExW(failure.name, nullptr, failure.flags);
    EXPECT_EQ(module, nullptr) << nb::text::Utf16ToUtf8(failure.name);
    EXPECT_EQ(GetLastError(), failure.error) << nb::text::Utf16ToUtf8(failure.name);
    if (module) FreeLibrary(module);
  }
  EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // "C:\VAULT.EN." is VAULT.EN itself: the final dot only says "no extension".
  Module dotted(LoadLibraryW(u"C:\\VAULT.EN."));
  EXPECT_NE(dotted.get(), nullptr);
}

TEST(ModuleLoading, ExportsOfFileModulesAreTheirOwn) {
  Module module(LoadLibraryW(UnixName(TEST_MODULE_DIR "/nbtest_exports.so").c_str()));
  ASSERT_NE(module.get(), nullptr) << GetLastError();
  auto add = reinterpret_cast<int (*)(int, int)>(reinterpret_cast<void*>(GetProcAddress(module.get(), "NbTestAdd")));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(2, 3), 5);
  EXPECT_STREQ(reinterpret_cast<const char*>(GetProcAddress(module.get(), "NbTestName")), "exports");
  // What the module's own dependencies export is not the module's.
  for (const char* name : {"malloc", "nbtestadd", "NbResources", ""}) {
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module.get(), name), nullptr) << name;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << name;
  }
  EXPECT_EQ(GetProcAddress(module.get(), reinterpret_cast<LPCSTR>(1)), nullptr);  // an ordinal
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  // A module without resources has no strings.
  WCHAR buffer[8] = {u'x'};
  EXPECT_EQ(LoadStringW(module.get(), 1, buffer, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(0x1234), "NbTestAdd"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(BuiltInModules, FoundByAnyCaseWithOrWithoutExtension) {
  HMODULE psapi = LoadLibraryW(u"PSAPI");
  ASSERT_NE(psapi, nullptr);
  for (const char16_t* name : {u"psapi.dll", u"PsApi.DLL"}) {
    EXPECT_EQ(LoadLibraryW(name), psapi) << nb::text::Utf16ToUtf8(name);
  }
  // "psapi." is a file named psapi without extension, not the module.
  EXPECT_EQ(LoadLibraryW(u"psapi."), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(GetModuleHandleW(u"PSAPI.DLL"), psapi);
  HMODULE kernel32 = LoadLibraryW(u"Kernel32");
  ASSERT_NE(kernel32, nullptr);
  EXPECT_NE(kernel32, psapi);
  EXPECT_EQ(LoadLibraryW(u"KERNEL32.dll"), kernel32);

  const char* psapiExports[] = {"EnumProcesses", "EnumProcessModules", "GetModuleFileNameExW"};
  for (const char* name : psapiExports) EXPECT_NE(GetProcAddress(psapi, name), nullptr) << name;
  const char* toolhelpExports[] = {"CreateToolhelp32Snapshot", "Process32First", "Process32Next",
                                   "Process32FirstW", "Process32NextW", "Module32First",
                                   "Module32Next", "Module32FirstW", "Module32NextW"};
  for (const char* name : toolhelpExports) EXPECT_NE(GetProcAddress(kernel32, name), nullptr) << name;
  // Names are exact, and each module has its own.
  for (const char* name : {"enumprocesses", "CreateToolhelp32Snapshot", "VDMEnumTaskWOWEx"}) {
    EXPECT_EQ(GetProcAddress(psapi, name), nullptr) << name;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  }
  // Built-in modules stay loaded whatever is freed.
  EXPECT_TRUE(FreeLibrary(psapi));
  EXPECT_TRUE(FreeLibrary(psapi));
  EXPECT_NE(GetProcAddress(psapi, "EnumProcesses"), nullptr);
  HRSRC none = FindResourceW(psapi, MAKEINTRESOURCEW(1), RT_STRING);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
}

TEST(BuiltInModules, ProgramModule) {
  HMODULE program = GetModuleHandleW(nullptr);
  ASSERT_NE(program, nullptr);
  EXPECT_EQ(GetModuleHandleW(nullptr), program);
  EXPECT_TRUE(FreeLibrary(program));
  EXPECT_EQ(GetModuleHandleW(nullptr), program);
  // The test program holds no string table.
  WCHAR buffer[4];
  EXPECT_EQ(LoadStringW(nullptr, 1, buffer, 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
}

class StringTable : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(module_.get(), nullptr) << GetLastError(); }
  Module module_{LoadLibraryW(UnixName(TEST_MODULE_DIR "/TESTRES.EN").c_str())};
};

struct StringCase {
  UINT id;
  const char16_t* text;  // null: none
};

TEST_F(StringTable, LoadStringFindsEveryIdOfEveryBlock) {
  const StringCase cases[] = {
      {0, u"zero"},
      {1, u"one"},
      {2, nullptr},  // an empty slot of a block that exists
      {15, u"fifteen"},
      {16, u"sixteen"},
      {17, u"seventeen, after sixteen"},
      {18, nullptr},
      {31, nullptr},
      {32, nullptr},  // a block that does not exist
      {300, u"Tab\there, line\nnext, backslash \\ and \u00e9"},
      {4000, u"日本語のテキスト"},
      {65535, u"the last id"},
      {65536, nullptr},  // ids are 16 bits: this is not 0
      {0x10001, nullptr},
  };
  for (const StringCase& c : cases) {
    SetLastError(0);
    WCHAR buffer[64];
    buffer[0] = u'#';
    int length = LoadStringW(module_.get(), c.id, buffer, 64);
    if (c.text) {
      EXPECT_EQ(std::u16string(buffer, static_cast<size_t>(length)), c.text) << c.id;
      EXPECT_EQ(buffer[length], 0) << c.id;
    } else {
      EXPECT_EQ(length, 0) << c.id;
      EXPECT_EQ(buffer[0], 0) << c.id;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND)) << c.id;
    }
  }
}

TEST_F(StringTable, BufferSizes) {
  // Cut to the buffer, always terminated.
  EXPECT_EQ(LoadText(module_.get(), 17, 10), u"seventeen");
  EXPECT_EQ(LoadText(module_.get(), 1, 4), u"one");
  EXPECT_EQ(LoadText(module_.get(), 1, 3), u"on");
  WCHAR one[1] = {u'#'};
  EXPECT_EQ(LoadStringW(module_.get(), 1, one, 1), 0);
  EXPECT_EQ(one[0], 0);

  // Size 0: a read-only pointer to the text inside the module, not terminated.
  const WCHAR* text = nullptr;
  int length = LoadStringW(module_.get(), 16, reinterpret_cast<LPWSTR>(&text), 0);
  ASSERT_EQ(length, 7);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::u16string(text, 7), u"sixteen");
  EXPECT_EQ(text[7], 24) << "the next string's length follows, no terminator";

  EXPECT_EQ(LoadStringW(module_.get(), 1, nullptr, 10), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  WCHAR buffer[4];
  EXPECT_EQ(LoadStringW(module_.get(), 1, buffer, -1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(StringTable, FindResourceAndTheBlockLayout) {
  // Strings 16..31 are block 2: 16 counted strings.
  HRSRC block = FindResourceW(module_.get(), MAKEINTRESOURCEW(2), RT_STRING);
  ASSERT_NE(block, nullptr);
  HGLOBAL loaded = LoadResource(module_.get(), block);
  ASSERT_NE(loaded, nullptr);
  auto* units = static_cast<const WCHAR*>(LockResource(loaded));
  DWORD size = SizeofResource(module_.get(), block);
  std::u16string expected = std::u16string(1, char16_t{7}) + u"sixteen" + char16_t{24} + u"seventeen, after sixteen" +
                            std::u16string(14, char16_t{0});
  ASSERT_EQ(size, expected.size() * sizeof(WCHAR));
  EXPECT_EQ(std::u16string(units, size / sizeof(WCHAR)), expected);

  EXPECT_EQ(FindResourceW(module_.get(), u"#2", u"#6"), block);
  EXPECT_EQ(FindResourceExW(module_.get(), RT_STRING, MAKEINTRESOURCEW(2), 0x0409), block);
  EXPECT_EQ(FindResourceExW(module_.get(), RT_STRING, MAKEINTRESOURCEW(2), 0), block);

  struct Missing {
    LPCWSTR name;
    LPCWSTR type;
    WORD language;
    DWORD error;
  };
  const Missing missing[] = {
      {MAKEINTRESOURCEW(2), RT_MENU, 0, ERROR_RESOURCE_TYPE_NOT_FOUND},
      {MAKEINTRESOURCEW(3), RT_STRING, 0, ERROR_RESOURCE_NAME_NOT_FOUND},
      {u"SIXTEEN", RT_STRING, 0, ERROR_RESOURCE_NAME_NOT_FOUND},
      {u"#2x", RT_STRING, 0, ERROR_RESOURCE_NAME_NOT_FOUND},
      {u"#99999", RT_STRING, 0, ERROR_RESOURCE_NAME_NOT_FOUND},
      {MAKEINTRESOURCEW(2), RT_STRING, 0x0411, ERROR_RESOURCE_LANG_NOT_FOUND},
  };
  for (const Missing& m : missing) {
    SetLastError(0);
    EXPECT_EQ(FindResourceExW(module_.get(), m.type, m.name, m.language), nullptr);
    EXPECT_EQ(GetLastError(), m.error);
  }
  // A resource of one module is no resource of another.
  Module other(LoadLibraryW(UnixName(TEST_MODULE_DIR "/TESTRES.JP").c_str()));
  ASSERT_NE(other.get(), nullptr);
  EXPECT_EQ(LoadResource(other.get(), block), nullptr);
  EXPECT_EQ(SizeofResource(other.get(), block), 0u);
  EXPECT_NE(FindResourceExW(other.get(), RT_STRING, MAKEINTRESOURCEW(2), 0x0411), nullptr);
}

// The lock SDK's messages: texts 1 to 17 in every language.
TEST(ResourceModules, VaultMessagesInEveryLanguage) {
  for (const char* language : {"EN", "JP", "KO", "CH"}) {
    Module module(LoadLibraryW(UnixName(std::string(NB_PROGRAM_DIR "/VAULT.") + language).c_str()));
    ASSERT_NE(module.get(), nullptr) << language;
    for (UINT id = 1; id <= 17; ++id) EXPECT_GT(LoadText(module.get(), id, 512).size(), 5u) << language << " " << id;
    EXPECT_EQ(LoadText(module.get(), 18), u"") << language;
  }
  Module english(LoadLibraryW(UnixName(NB_PROGRAM_DIR "/VAULT.EN").c_str()));
  std::u16string format = LoadText(english.get(), 2, 512);
  EXPECT_EQ(nb::text::FormatWide(format.c_str(), u'D', u"\\Data"), u"The driver refused the request for D:\\Data.");
}

}  // namespace
