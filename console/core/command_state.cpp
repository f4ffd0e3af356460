// The enabling of the lock commands for a selection.
#include "command_state.h"

#include <optional>

#include "console_ids.h"

namespace nb::console {

RowState StateOf(const _LCK_INFORMAION& lock) { return {lock.status, lock.mode}; }

namespace {

bool Started(const RowState& row) { return row.status != LCK_STATUS_NOT_STARTED; }

// What the menu and the context menu answer alike; nothing for the commands they answer
// differently (Properties, Hidden, Read only).
std::optional<bool> SharedRule(UINT command, const std::vector<RowState>& selection) {
  if (command == kCmdLock) return selection.empty();
  if (selection.empty()) return false;
  const RowState& first = selection.front();
  switch (command) {
    case kCmdUnlock: return true;
    case kCmdResume: return first.status != LCK_STATUS_LOCKED;
    case kCmdPause: return first.status == LCK_STATUS_LOCKED;
    case kCmdProperties:
    case kCmdHidden:
    case kCmdReadOnly: return std::nullopt;
    default: return false;
  }
}

}  // namespace

bool CommandEnabled(UINT command, const std::vector<RowState>& selection) {
  if (std::optional<bool> shared = SharedRule(command, selection)) return *shared;
  const RowState& first = selection.front();
  switch (command) {
    case kCmdProperties: return Started(first);
    case kCmdHidden: return first.mode == 4 && Started(first);
    default: return first.mode == 1 && Started(first);  // Read only
  }
}

bool ContextMenuEnabled(UINT command, const std::vector<RowState>& selection) {
  if (std::optional<bool> shared = SharedRule(command, selection)) return *shared;
  const RowState& first = selection.front();
  switch (command) {
    case kCmdProperties: return selection.size() == 1 && Started(first);
    // The item of the current mode is the one disabled.
    case kCmdHidden: return Started(first) && first.mode != 1;
    default: return Started(first) && first.mode != 4;  // Read only
  }
}

}  // namespace nb::console
