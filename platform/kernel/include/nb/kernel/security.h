// Access tokens: one primary token per process, whose source tells a network logon from a
// local one by the process's image name.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <ntifs.h>

namespace nb::kernel {

// The token source of processes that serve network clients, and of all others.
inline constexpr char kNetworkTokenSource[TOKEN_SOURCE_LENGTH] = "NtLmSsp";
inline constexpr char kLocalTokenSource[TOKEN_SOURCE_LENGTH + 1] = "User32  ";

class SecurityTokens {
 public:
  SecurityTokens();
  ~SecurityTokens();

  // Image names whose processes hold network-logon tokens (compared ignoring case);
  // {"smbd.exe"} until the host sets the list from its configuration.
  void SetNetworkImages(std::vector<std::string> imageNames);
  std::vector<std::string> NetworkImages() const;
  bool IsNetworkImage(std::string_view imageName) const;

  // The primary token of `process`, made on first use; it lives as long as the kernel.
  PACCESS_TOKEN PrimaryTokenOf(PEPROCESS process);
  // The source of a token this table made, for SeQueryInformationToken.
  [[nodiscard]] NTSTATUS SourceOf(PACCESS_TOKEN token, TOKEN_SOURCE* source) const;

 private:
  struct Token;
  mutable std::mutex mutex_;
  std::vector<std::string> networkImages_;
  std::map<PEPROCESS, std::unique_ptr<Token>> tokens_;
  std::vector<std::unique_ptr<Token>> retired_;  // tokens of processes whose identity changed
  ULONG nextLuid_ = 0x1000;
};

}  // namespace nb::kernel
