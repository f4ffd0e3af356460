// Node ids, their paths through renames and deletes, and callers' thread groups.
#include <algorithm>
#include <gtest/gtest.h>

#include "caller.h"
#include "nb/fuse/status_errno.h"
#include "node_table.h"

namespace nb::fuse {
namespace {

std::u16string PathOr(const NodeTable& table, NodeId node, const std::u16string& none = u"<none>") {
  std::u16string path;
  return table.PathOf(node, &path) ? path : none;
}

TEST(NodeTableTest, RenameMovesTheFolderAndEverythingBelowButNotNamesThatOnlyShareItsStart) {
  NodeTable table;
  NodeId a = table.Enter(u"\\a");
  NodeId child = table.Enter(u"\\a\\x");
  NodeId sibling = table.Enter(u"\\a b");  // sorts between "\a" and "\a\x"
  NodeId longer = table.Enter(u"\\ab");
  NodeId target = table.Enter(u"\\z");
  table.Move(u"\\a", u"\\z");
  EXPECT_EQ(PathOr(table, a), u"\\z");
  EXPECT_EQ(PathOr(table, child), u"\\z\\x");
  EXPECT_EQ(PathOr(table, sibling), u"\\a b");
  EXPECT_EQ(PathOr(table, longer), u"\\ab");
  EXPECT_EQ(PathOr(table, target), u"<none>");  // what the target named lost its name
  EXPECT_EQ(table.Enter(u"\\z"), a);
}

TEST(NodeTableTest, LookupsAreCountedAndTheLastForgetEndsTheNode) {
  NodeTable table;
  NodeId node = table.Enter(u"\\f");
  EXPECT_EQ(table.Enter(u"\\f"), node);
  table.Forget(node, 1);
  EXPECT_EQ(PathOr(table, node), u"\\f");
  table.Forget(node, 1);
  EXPECT_EQ(PathOr(table, node), u"<none>");
  EXPECT_NE(table.Enter(u"\\f"), node);  // a new node, never a reused id
  table.Forget(kRootNode, 100);
  EXPECT_EQ(PathOr(table, kRootNode), u"\\");
}

TEST(NodeTableTest, DroppedNameLeavesTheNodeNamelessAndFreesThePath) {
  NodeTable table;
  NodeId node = table.Enter(u"\\f");
  table.Drop(u"\\f");
  EXPECT_EQ(PathOr(table, node), u"<none>");
  NodeId again = table.Enter(u"\\f");
  EXPECT_NE(again, node);
  table.Forget(node, 1);  // the old node going does not take the new one's name
  EXPECT_EQ(PathOr(table, again), u"\\f");
  table.Drop(u"\\");
  EXPECT_EQ(PathOr(table, kRootNode), u"\\");
}

TEST(CallerTest, ThreadGroupIsReadFromTheStatusText) {
  pid_t group = 0;
  EXPECT_TRUE(ThreadGroupIn("Name:\tcat\nUmask:\t0022\nState:\tR\nTgid:\t1234\nNgid:\t0\n", &group));
  EXPECT_EQ(group, 1234);
  for (const char* bad : {"Name:\tx\n", "Name:\tx\nTgid:\t\n", "Name:\tx\nTgid:\t-5\n", "Name:\tx\nTgid:\t12ab\n",
                          "Name:\tx\nTgid:\t0\n"}) {
    EXPECT_FALSE(ThreadGroupIn(bad, &group)) << bad;
  }
  EXPECT_TRUE(ThreadGroupOf(getpid(), &group));
  EXPECT_EQ(group, getpid());
}

// The names the host may keep are found again as (parent node, name), children first, in
// step with renames; a name that went, or a node the kernel forgot, is not named.
TEST(NodeTableTest, KeptAnswersAreTakenOnceAsParentAndNameDeepestFirst) {
  NodeTable table;
  NodeId a = table.Enter(u"\\a");
  NodeId b = table.Enter(u"\\a\\b");
  NodeId c = table.Enter(u"\\a\\b\\c");
  NodeId gone = table.Enter(u"\\a\\gone");
  NodeId forgotten = table.Enter(u"\\f");
  for (NodeId node : {a, b, c, gone, forgotten}) table.MarkCached(node, true);
  table.MarkCached(kRootNode, false);  // attributes only
  table.Drop(u"\\a\\gone");
  table.Forget(forgotten, 1);
  table.Move(u"\\a\\b", u"\\a\\moved");  // c moves along under b's node

  NodeTable::CachedAnswers kept = table.TakeCached();
  using Named = std::pair<NodeId, std::u16string>;
  ASSERT_EQ(kept.entries.size(), 3u);
  EXPECT_EQ(kept.entries[0], (Named{b, u"c"}));
  EXPECT_EQ(kept.entries[1], (Named{a, u"moved"}));
  EXPECT_EQ(kept.entries[2], (Named{kRootNode, u"a"}));
  std::sort(kept.attributes.begin(), kept.attributes.end());
  EXPECT_EQ(kept.attributes, (std::vector<NodeId>{kRootNode, a, b, c, gone}));

  EXPECT_TRUE(table.TakeCached().entries.empty()) << "taken marks are not named again";
  table.MarkCached(c, false);
  kept = table.TakeCached();
  EXPECT_TRUE(kept.entries.empty());
  EXPECT_EQ(kept.attributes, std::vector<NodeId>{c});
}

TEST(StatusErrnoTest, StatusesMapToTheirErrno) {
  struct Case {
    NTSTATUS status;
    int error;
  } cases[] = {{STATUS_SUCCESS, 0},
               {STATUS_ACCESS_DENIED, EACCES},
               {STATUS_OBJECT_NAME_NOT_FOUND, ENOENT},
               {STATUS_NO_SUCH_FILE, ENOENT},
               {STATUS_OBJECT_PATH_NOT_FOUND, ENOENT},
               {STATUS_OBJECT_NAME_COLLISION, EEXIST},
               {STATUS_DIRECTORY_NOT_EMPTY, ENOTEMPTY},
               {STATUS_NOT_A_DIRECTORY, ENOTDIR},
               {STATUS_FILE_IS_A_DIRECTORY, EISDIR},
               {STATUS_DISK_FULL, ENOSPC},
               {STATUS_BUFFER_OVERFLOW, EIO},
               {static_cast<NTSTATUS>(0xC0DE0001), EIO}};
  for (const Case& c : cases) EXPECT_EQ(ErrnoFromStatus(c.status), c.error) << std::hex << c.status;
}

}  // namespace
}  // namespace nb::fuse
