// The decisions of a create: dispositions on existing and missing names, option checks
// and the kind of object a create may open.
#include <gtest/gtest.h>

#include "create_rules.h"

namespace nb::hostfs {
namespace {

TEST(CreateRulesTest, DispositionOutcomes) {
  struct Case {
    ULONG disposition;
    bool exists;
    CreateAction action;
    NTSTATUS status;
    ULONG information;
  };
  const Case cases[] = {
      {FILE_SUPERSEDE, true, CreateAction::kSupersede, STATUS_SUCCESS, FILE_SUPERSEDED},
      {FILE_SUPERSEDE, false, CreateAction::kCreate, STATUS_SUCCESS, FILE_CREATED},
      {FILE_OPEN, true, CreateAction::kOpen, STATUS_SUCCESS, FILE_OPENED},
      {FILE_OPEN, false, CreateAction::kFail, STATUS_OBJECT_NAME_NOT_FOUND, 0},
      {FILE_CREATE, true, CreateAction::kFail, STATUS_OBJECT_NAME_COLLISION, 0},
      {FILE_CREATE, false, CreateAction::kCreate, STATUS_SUCCESS, FILE_CREATED},
      {FILE_OPEN_IF, true, CreateAction::kOpen, STATUS_SUCCESS, FILE_OPENED},
      {FILE_OPEN_IF, false, CreateAction::kCreate, STATUS_SUCCESS, FILE_CREATED},
      {FILE_OVERWRITE, true, CreateAction::kOverwrite, STATUS_SUCCESS, FILE_OVERWRITTEN},
      {FILE_OVERWRITE, false, CreateAction::kFail, STATUS_OBJECT_NAME_NOT_FOUND, 0},
      {FILE_OVERWRITE_IF, true, CreateAction::kOverwrite, STATUS_SUCCESS, FILE_OVERWRITTEN},
      {FILE_OVERWRITE_IF, false, CreateAction::kCreate, STATUS_SUCCESS, FILE_CREATED},
  };
  for (const auto& c : cases) {
    CreateDecision decision = DecideCreate(c.disposition, c.exists);
    EXPECT_EQ(decision.action, c.action) << c.disposition << " exists=" << c.exists;
    if (c.action == CreateAction::kFail) {
      EXPECT_EQ(decision.status, c.status) << c.disposition;
    } else {
      EXPECT_EQ(decision.information, c.information) << c.disposition;
    }
  }
}

TEST(CreateRulesTest, OptionCombinations) {
  struct Case {
    ULONG disposition;
    ULONG options;
    ACCESS_MASK access;
    NTSTATUS status;
  };
  const Case cases[] = {
      {FILE_OPEN, 0, FILE_READ_DATA, STATUS_SUCCESS},
      {6, 0, FILE_READ_DATA, STATUS_INVALID_PARAMETER},
      {FILE_OPEN, FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE, 0, STATUS_INVALID_PARAMETER},
      {FILE_CREATE, FILE_DIRECTORY_FILE, 0, STATUS_SUCCESS},
      {FILE_OPEN_IF, FILE_DIRECTORY_FILE, 0, STATUS_SUCCESS},
      {FILE_OVERWRITE_IF, FILE_DIRECTORY_FILE, 0, STATUS_INVALID_PARAMETER},
      {FILE_SUPERSEDE, FILE_DIRECTORY_FILE, 0, STATUS_INVALID_PARAMETER},
      {FILE_OPEN, FILE_DELETE_ON_CLOSE, FILE_READ_DATA, STATUS_INVALID_PARAMETER},
      {FILE_OPEN, FILE_DELETE_ON_CLOSE, DELETE, STATUS_SUCCESS},
      {FILE_OPEN, FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT, 0, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckCreateOptions(c.disposition, c.options, c.access), c.status)
        << c.disposition << " options=" << std::hex << c.options;
  }
}

TEST(CreateRulesTest, TargetKinds) {
  EXPECT_EQ(CheckTargetKind(FILE_DIRECTORY_FILE, false, false), STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(CheckTargetKind(FILE_NON_DIRECTORY_FILE, true, false), STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(CheckTargetKind(0, false, true), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(CheckTargetKind(0, true, true), STATUS_SUCCESS);
  EXPECT_EQ(CheckTargetKind(0, false, false), STATUS_SUCCESS);
}

}  // namespace
}  // namespace nb::hostfs
