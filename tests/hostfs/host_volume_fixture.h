// A test machine with drive X: backed by a fresh temporary folder, and helpers to open
// files on it and to look at the folder from the host side.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "nb/kernel/file_requests.h"
#include "nb/kernel/io.h"
#include "nb/text.h"
#include "nb/testing/machine.h"

namespace nb::hostfs::testing {

// Closes a file object at the end of a scope.
class Opened {
 public:
  Opened() = default;
  explicit Opened(PFILE_OBJECT file) : file_(file) {}
  ~Opened() { Reset(); }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  PFILE_OBJECT* Out() {
    Reset();
    return &file_;
  }
  PFILE_OBJECT get() const { return file_; }
  void Reset() {
    if (file_) nb::kernel::CloseFile(file_);
    file_ = nullptr;
  }

 private:
  PFILE_OBJECT file_ = nullptr;
};

class HostVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nbhostfs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    top_ = pattern;
    backing_ = top_ / "volume";
    std::filesystem::create_directory(backing_);
    ASSERT_EQ(machine_.AddHostVolume('X', backing_.string()), STATUS_SUCCESS);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::permissions(backing_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(top_, ignored);
  }

  // Opens a path on X: ("\dir\f"), or `name` relative to `related`.
  NTSTATUS Open(std::u16string_view name, ACCESS_MASK access, ULONG disposition, ULONG options, Opened* file,
                ULONG_PTR* information = nullptr, PFILE_OBJECT related = nullptr) {
    nb::kernel::OpenParameters parameters;
    parameters.desiredAccess = access | SYNCHRONIZE;
    parameters.disposition = disposition;
    parameters.options = options;
    parameters.related = related;
    std::u16string full = related ? std::u16string(name) : u"\\DosDevices\\X:" + std::u16string(name);
    return nb::kernel::OpenFile(full, parameters, file->Out(), information);
  }

  std::filesystem::path Host(const std::string& relative) const { return backing_ / relative; }
  void WriteHost(const std::string& relative, const std::string& content) const {
    std::filesystem::create_directories(Host(relative).parent_path());
    std::ofstream(Host(relative), std::ios::binary) << content;
  }
  std::string ReadHost(const std::string& relative) const {
    std::ifstream in(Host(relative), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }
  bool HostExists(const std::string& relative) const {
    return std::filesystem::exists(std::filesystem::symlink_status(Host(relative)));
  }

  nb::testing::Machine machine_;
  std::filesystem::path top_;      // holds the backing folder and things outside it
  std::filesystem::path backing_;  // the folder behind X:
};

}  // namespace nb::hostfs::testing
