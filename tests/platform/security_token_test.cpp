// Token sources per process: network-logon images against local ones, as a filter asks
// for them with SeQueryInformationToken.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "nb/kernel/pool.h"
#include "nb/kernel/security.h"
#include "nb/testing/machine.h"

namespace {

// The source name of the calling process's token, as 8 bytes.
std::string SourceOfCaller() {
  SECURITY_SUBJECT_CONTEXT subject;
  SeCaptureSubjectContext(&subject);
  PVOID information = nullptr;
  NTSTATUS status = SeQueryInformationToken(SeQuerySubjectContextToken(&subject), TokenSource, &information);
  SeReleaseSubjectContext(&subject);
  if (!NT_SUCCESS(status)) return "failed";
  std::string name(static_cast<PTOKEN_SOURCE>(information)->SourceName, TOKEN_SOURCE_LENGTH);
  ExFreePool(information);
  return name;
}

TEST(SecurityTokenTest, NetworkImagesGetNtLmSspAndOthersUser32) {
  nb::testing::Machine machine;
  const size_t poolBefore = machine.Kernel().Pool().Outstanding();
  struct Case {
    std::string image;
    ULONG id;
    std::string source;
  };
  const Case cases[] = {
      {"smbd.exe", 100, std::string("NtLmSsp\0", 8)},
      {"SMBD.EXE", 101, std::string("NtLmSsp\0", 8)},
      {"explorer.exe", 102, "User32  "},
      {"smbd", 103, "User32  "},
      {"System", 4, "User32  "},
  };
  for (const auto& c : cases) {
    nb::kernel::ProcessScope scope(machine.Process(c.image, c.id));
    EXPECT_EQ(SourceOfCaller(), c.source) << c.image;
  }
  EXPECT_EQ(machine.Kernel().Pool().Outstanding(), poolBefore) << "the query's buffer is the caller's to free";

  // The host may name other network images; the list applies to the next query.
  machine.Kernel().Tokens().SetNetworkImages({"nfsd.exe"});
  {
    nb::kernel::ProcessScope scope(machine.Process("nfsd.exe", 110));
    EXPECT_EQ(SourceOfCaller(), std::string("NtLmSsp\0", 8));
  }
  nb::kernel::ProcessScope scope(machine.Process("smbd.exe", 100));
  EXPECT_EQ(SourceOfCaller(), "User32  ");
}

TEST(SecurityTokenTest, AProcessKeepsItsTokenAndOnlyKnownTokensAnswer) {
  nb::testing::Machine machine;
  PEPROCESS process = machine.Process("app.exe", 200);
  auto& tokens = machine.Kernel().Tokens();
  PACCESS_TOKEN token = tokens.PrimaryTokenOf(process);
  EXPECT_EQ(tokens.PrimaryTokenOf(process), token);
  EXPECT_NE(tokens.PrimaryTokenOf(machine.Process("other.exe", 201)), token);
  PVOID information = nullptr;
  int notAToken = 0;
  EXPECT_EQ(SeQueryInformationToken(&notAToken, TokenSource, &information), STATUS_INVALID_HANDLE);
  EXPECT_EQ(SeQueryInformationToken(token, TokenUser, &information), STATUS_INVALID_INFO_CLASS);
  EXPECT_EQ(information, nullptr);
}

}  // namespace
