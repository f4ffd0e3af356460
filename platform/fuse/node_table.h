// The front end's node ids: each names a path of the volume ("\" for the root), entered
// by a lookup and forgotten when the kernel forgets it. A node is only a name: every
// request on it is checked again, in the caller's identity, by the device stack.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace nb::fuse {

using NodeId = uint64_t;
inline constexpr NodeId kRootNode = 1;  // FUSE_ROOT_ID

class NodeTable {
 public:
  NodeTable();

  // The path of a node; false for an unknown node or one whose name went (unlinked, or
  // replaced by a rename).
  bool PathOf(NodeId node, std::u16string* path) const;
  // The node of a path found by a lookup, with one more lookup counted on it.
  NodeId Enter(const std::u16string& path);
  // The kernel dropped `count` lookups; the node goes with the last.
  void Forget(NodeId node, uint64_t count);
  // A rename moved `from` to `to`: a node that `to` named loses its name, and `from`
  // with everything below it moves.
  void Move(const std::u16string& from, const std::u16string& to);
  // The name of a path went (unlink, rmdir).
  void Drop(const std::u16string& path);
  size_t Count() const;

  // A reply let the host keep the node's attributes, and with `entry` also the name that
  // leads to it (its parent's node and its last component), for a while.
  void MarkCached(NodeId node, bool entry);
  // What the host may still keep: every name as (parent node, name), deepest first so
  // that children go before their parents, and every node whose attributes it may keep.
  // The marks are taken: a later call returns only what was marked since.
  struct CachedAnswers {
    std::vector<std::pair<NodeId, std::u16string>> entries;
    std::vector<NodeId> attributes;
  };
  CachedAnswers TakeCached();

 private:
  struct Node {
    std::u16string path;  // empty once the name went
    uint64_t lookups = 0;
    // The host may keep its name (under the path's parent: a rename moves the kernel's
    // entry along with the path) and its attributes.
    bool entryCached = false;
    bool attributesCached = false;
  };
  void DetachLocked(const std::u16string& path);  // mutex_ held

  mutable std::mutex mutex_;
  std::unordered_map<NodeId, Node> nodes_;
  std::map<std::u16string, NodeId> byPath_;
  NodeId next_ = kRootNode + 1;
};

// "\a" + "b" -> "\a\b"; "\" + "b" -> "\b".
std::u16string ChildPath(const std::u16string& parent, const std::u16string& name);

}  // namespace nb::fuse
