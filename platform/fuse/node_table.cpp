// Node ids to volume paths, kept in step with renames and deletes.
#include "node_table.h"

#include <algorithm>
#include <vector>

namespace nb::fuse {

namespace {

bool IsBelow(const std::u16string& path, const std::u16string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         (folder == u"\\" || path[folder.size()] == u'\\');
}

}  // namespace

std::u16string ChildPath(const std::u16string& parent, const std::u16string& name) {
  return parent == u"\\" ? u"\\" + name : parent + u"\\" + name;
}

NodeTable::NodeTable() {
  nodes_[kRootNode] = Node{u"\\", 1};
  byPath_[u"\\"] = kRootNode;
}

bool NodeTable::PathOf(NodeId node, std::u16string* path) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(node);
  if (it == nodes_.end() || it->second.path.empty()) return false;
  *path = it->second.path;
  return true;
}

NodeId NodeTable::Enter(const std::u16string& path) {
  std::lock_guard lock(mutex_);
  auto found = byPath_.find(path);
  if (found != byPath_.end()) {
    ++nodes_[found->second].lookups;
    return found->second;
  }
  NodeId node = next_++;
  nodes_[node] = Node{path, 1};
  byPath_[path] = node;
  return node;
}

void NodeTable::Forget(NodeId node, uint64_t count) {
  if (node == kRootNode) return;
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(node);
  if (it == nodes_.end()) return;
  it->second.lookups = count >= it->second.lookups ? 0 : it->second.lookups - count;
  if (it->second.lookups) return;
  auto named = byPath_.find(it->second.path);
  if (named != byPath_.end() && named->second == node) byPath_.erase(named);
  nodes_.erase(it);
}

void NodeTable::DetachLocked(const std::u16string& path) {
  auto named = byPath_.find(path);
  if (named == byPath_.end() || named->second == kRootNode) return;
  nodes_[named->second].path.clear();
  byPath_.erase(named);
}

void NodeTable::Move(const std::u16string& from, const std::u16string& to) {
  if (from == to) return;
  std::lock_guard lock(mutex_);
  // What the target named is gone; below a replaced folder there was nothing (only an
  // empty folder can be replaced).
  DetachLocked(to);
  std::vector<std::pair<std::u16string, NodeId>> moved;
  // Names such as "\a b" sort between "\a" and "\a\x", so the whole table is scanned.
  for (auto it = byPath_.begin(); it != byPath_.end();) {
    if (it->first == from || IsBelow(it->first, from)) {
      moved.emplace_back(to + it->first.substr(from.size()), it->second);
      it = byPath_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [path, node] : moved) {
    nodes_[node].path = path;
    byPath_[path] = node;
  }
}

void NodeTable::Drop(const std::u16string& path) {
  std::lock_guard lock(mutex_);
  DetachLocked(path);
}

void NodeTable::MarkCached(NodeId node, bool entry) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(node);
  if (it == nodes_.end()) return;
  it->second.attributesCached = true;
  if (entry) it->second.entryCached = true;
}

NodeTable::CachedAnswers NodeTable::TakeCached() {
  std::lock_guard lock(mutex_);
  CachedAnswers taken;
  struct Named {
    size_t depth;
    NodeId parent;
    std::u16string name;
  };
  std::vector<Named> names;
  for (auto& [node, entry] : nodes_) {
    if (entry.attributesCached) taken.attributes.push_back(node);
    entry.attributesCached = false;
    const bool named = entry.entryCached && !entry.path.empty() && node != kRootNode;
    entry.entryCached = false;
    if (!named) continue;  // a name that went took the host's entry with it
    const size_t slash = entry.path.rfind(u'\\');
    auto parent = byPath_.find(slash == 0 ? std::u16string(u"\\") : entry.path.substr(0, slash));
    if (parent == byPath_.end()) continue;  // no parent known: the host holds no entry under it
    names.push_back(
        Named{static_cast<size_t>(std::count(entry.path.begin(), entry.path.end(), u'\\')), parent->second,
              entry.path.substr(slash + 1)});
  }
  std::sort(names.begin(), names.end(), [](const Named& a, const Named& b) { return a.depth > b.depth; });
  for (Named& named : names) taken.entries.emplace_back(named.parent, std::move(named.name));
  return taken;
}

size_t NodeTable::Count() const {
  std::lock_guard lock(mutex_);
  return nodes_.size();
}

}  // namespace nb::fuse
