// The enabling of the lock commands for a selection.
#include "command_state.h"

#include "console_ids.h"

namespace nb::console {

RowState StateOf(const _LCK_INFORMAION& lock) { return {lock.status, lock.mode}; }

bool CommandEnabled(UINT command, const std::vector<RowState>& selection) {
  if (command == kCmdLock) return selection.empty();
  if (selection.empty()) return false;
  const RowState& first = selection.front();
  bool started = first.status != LCK_STATUS_NOT_STARTED;
  switch (command) {
    case kCmdUnlock: return true;
    case kCmdProperties: return started;
    case kCmdResume: return first.status != LCK_STATUS_LOCKED;
    case kCmdPause: return first.status == LCK_STATUS_LOCKED;
    case kCmdHidden: return first.mode == 4 && started;
    case kCmdReadOnly: return first.mode == 1 && started;
    default: return false;
  }
}

bool ContextMenuEnabled(UINT command, const std::vector<RowState>& selection) {
  if (command == kCmdLock) return selection.empty();
  if (selection.empty()) return false;
  const RowState& first = selection.front();
  bool started = first.status != LCK_STATUS_NOT_STARTED;
  switch (command) {
    case kCmdUnlock: return true;
    case kCmdProperties: return selection.size() == 1 && started;
    case kCmdResume: return first.status != LCK_STATUS_LOCKED;
    case kCmdPause: return first.status == LCK_STATUS_LOCKED;
    // The item of the current mode is the one disabled.
    case kCmdHidden: return started && first.mode != 1;
    case kCmdReadOnly: return started && first.mode != 4;
    default: return false;
  }
}

}  // namespace nb::console
