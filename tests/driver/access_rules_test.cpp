// The access decision against the decision table of no-access and read-only locks.
#include <gtest/gtest.h>

#include "access_rules.h"
#include "nbfsctl.h"

namespace {

constexpr auto A = AccessVerdict::kAllow;
constexpr auto S = AccessVerdict::kAllowLocalSystem;
constexpr auto N = AccessVerdict::kDenyNoAccess;
constexpr auto R = AccessVerdict::kDenyReadOnly;

struct Caller {
  const char* name;
  ULONG permission;
  bool network;
  bool system;
};

// Columns: create for reading, create for writing, query, set information, other
// request not writing, write.
struct Row {
  Caller caller;
  AccessVerdict verdicts[6];
};

struct Column {
  RequestKind kind;
  bool write;
};
constexpr Column kColumns[] = {{RequestKind::kCreate, false},           {RequestKind::kCreate, true},
                               {RequestKind::kQueryInformation, false}, {RequestKind::kSetInformation, false},
                               {RequestKind::kOther, false},            {RequestKind::kOther, true}};

void CheckTable(ULONG flags, const Row* rows, size_t count) {
  for (size_t r = 0; r < count; ++r) {
    for (size_t c = 0; c < 6; ++c) {
      AccessInput input{flags, rows[r].caller.permission, rows[r].caller.network, rows[r].caller.system,
                        kColumns[c].write};
      EXPECT_EQ(DecideAccess(kColumns[c].kind, input), rows[r].verdicts[c])
          << "flags " << flags << ", " << rows[r].caller.name << ", column " << c;
    }
  }
}

TEST(AccessRulesTest, NoAccessLock) {
  const Row rows[] = {
      {{"untrusted", 0, false, false}, {N, N, N, N, N, N}},
      {{"untrusted System", 0, false, true}, {N, N, S, S, S, S}},
      {{"trusted read", 1, false, false}, {A, N, A, N, A, N}},
      {{"trusted full", 2, false, false}, {A, A, A, A, A, A}},
      {{"network trusted full", 2, true, false}, {N, N, N, N, N, N}},
      {{"network System", 0, true, true}, {N, N, N, N, N, N}},
      {{"trusted System read", 1, false, true}, {A, N, A, N, A, N}},
  };
  CheckTable(NBFS_LOCK_NOACCESS, rows, std::size(rows));
}

TEST(AccessRulesTest, ReadOnlyLock) {
  const Row rows[] = {
      {{"untrusted", 0, false, false}, {A, R, A, R, A, R}},
      {{"untrusted System", 0, false, true}, {A, R, S, S, S, S}},
      {{"trusted read", 1, false, false}, {A, R, A, R, A, R}},
      {{"trusted full", 2, false, false}, {A, A, A, A, A, A}},
      {{"network trusted full", 2, true, false}, {A, R, A, R, A, R}},
  };
  CheckTable(NBFS_LOCK_READONLY, rows, std::size(rows));
}

TEST(AccessRulesTest, OpenAndExpiredLocksDenyNothing) {
  for (ULONG flags : {NBFS_LOCK_OPEN, NBFS_LOCK_EXPIRED}) {
    for (const auto& column : kColumns) {
      AccessVerdict verdict = DecideAccess(column.kind, AccessInput{flags, 0, true, false, true});
      EXPECT_EQ(verdict, A) << flags;
    }
  }
}

TEST(AccessRulesTest, SecurityRequestsFollowTheCreateRuleWithoutSystemExemption) {
  struct Case {
    ULONG flags;
    ULONG permission;
    bool network;
    bool system;
    bool setSecurity;
    AccessVerdict verdict;
  } cases[] = {
      {NBFS_LOCK_NOACCESS, 0, false, true, false, N},   {NBFS_LOCK_NOACCESS, 1, false, false, false, A},
      {NBFS_LOCK_NOACCESS, 1, false, false, true, N},   {NBFS_LOCK_NOACCESS, 2, true, false, false, N},
      {NBFS_LOCK_READONLY, 0, false, false, false, A},  {NBFS_LOCK_READONLY, 0, false, true, true, R},
      {NBFS_LOCK_READONLY, 2, false, false, true, A},   {NBFS_LOCK_READONLY, 2, true, false, true, R},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecideAccess(RequestKind::kSecurity, AccessInput{c.flags, c.permission, c.network, c.system, c.setSecurity}),
              c.verdict);
  }
}

}  // namespace
