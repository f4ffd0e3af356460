// Access tokens per process and the security reference monitor calls drivers make on them.
#include "nb/kernel/security.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"

namespace nb::kernel {

struct SecurityTokens::Token {
  ULONG processId;
  std::string imageName;
  LUID sourceIdentifier;
};

SecurityTokens::SecurityTokens() : networkImages_{"smbd.exe"} {}

SecurityTokens::~SecurityTokens() = default;

void SecurityTokens::SetNetworkImages(std::vector<std::string> imageNames) {
  std::lock_guard lock(mutex_);
  networkImages_ = std::move(imageNames);
}

std::vector<std::string> SecurityTokens::NetworkImages() const {
  std::lock_guard lock(mutex_);
  return networkImages_;
}

bool SecurityTokens::IsNetworkImage(std::string_view imageName) const {
  std::lock_guard lock(mutex_);
  return std::any_of(networkImages_.begin(), networkImages_.end(), [&](const std::string& listed) {
    return listed.size() == imageName.size() && strncasecmp(listed.data(), imageName.data(), listed.size()) == 0;
  });
}

PACCESS_TOKEN SecurityTokens::PrimaryTokenOf(PEPROCESS process) {
  ULONG id = ProcessTable::IdOf(process);
  std::string name = ProcessTable::NameOf(process);
  std::lock_guard lock(mutex_);
  auto& token = tokens_[process];
  if (token && (token->processId != id || token->imageName != name)) {
    // The process object was given to another identity: its old token stays valid for
    // whoever still holds it, the new identity gets a token of its own.
    retired_.push_back(std::move(token));
  }
  if (!token) token = std::make_unique<Token>(Token{id, name, LUID{nextLuid_++, 0}});
  return token.get();
}

NTSTATUS SecurityTokens::SourceOf(PACCESS_TOKEN token, TOKEN_SOURCE* source) const {
  const Token* found = nullptr;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [process, made] : tokens_) {
      if (made.get() == token) found = made.get();
    }
    for (const auto& made : retired_) {
      if (made.get() == token) found = made.get();
    }
  }
  if (!found) return STATUS_INVALID_HANDLE;
  std::memset(source, 0, sizeof *source);
  const char* name = IsNetworkImage(found->imageName) ? kNetworkTokenSource : kLocalTokenSource;
  std::memcpy(source->SourceName, name, TOKEN_SOURCE_LENGTH);
  source->SourceIdentifier = found->sourceIdentifier;
  return STATUS_SUCCESS;
}

}  // namespace nb::kernel

using nb::kernel::CurrentKernel;

VOID SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT subjectContext) {
  PEPROCESS process = nb::kernel::CurrentProcess();
  subjectContext->ClientToken = nullptr;  // threads do not impersonate on this platform
  subjectContext->ImpersonationLevel = 0;
  subjectContext->PrimaryToken = CurrentKernel().Tokens().PrimaryTokenOf(process);
  subjectContext->ProcessAuditId = process;
}

VOID SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT subjectContext) {
  // Tokens live as long as the kernel; releasing only forgets them.
  subjectContext->ClientToken = nullptr;
  subjectContext->PrimaryToken = nullptr;
}

NTSTATUS SeQueryInformationToken(PACCESS_TOKEN token, TOKEN_INFORMATION_CLASS tokenInformationClass,
                                 PVOID* tokenInformation) {
  *tokenInformation = nullptr;
  if (tokenInformationClass != TokenSource) return STATUS_INVALID_INFO_CLASS;
  TOKEN_SOURCE source;
  NTSTATUS status = CurrentKernel().Tokens().SourceOf(token, &source);
  if (!NT_SUCCESS(status)) return status;
  auto* buffer = static_cast<PTOKEN_SOURCE>(ExAllocatePoolWithTag(PagedPool, sizeof source, 'oTeS'));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  *buffer = source;
  *tokenInformation = buffer;
  return STATUS_SUCCESS;
}
