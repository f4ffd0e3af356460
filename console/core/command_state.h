// Which lock commands a selection offers, in the menu and toolbar and in the context menu.
// Pure functions over the selected rows' states.
#pragma once

#include <vector>

#include <windows.h>

#include "VAULTSdk.h"

namespace nb::console {

// What the enabling rules look at in a selected row.
struct RowState {
  int status = LCK_STATUS_LOCKED;  // 1 locked, 0 paused, -1 not started
  int mode = 1;                    // 1 hidden, 4 read only
};

RowState StateOf(const _LCK_INFORMAION& lock);

// Menu and toolbar: whether command 32777..32783 is enabled for the selection, judged by
// its first row. Other ids: false.
bool CommandEnabled(UINT command, const std::vector<RowState>& selection);
// Context menu: whether command 32777..32783 is enabled in the "Folder" menu shown at
// the cursor. Other ids: false.
bool ContextMenuEnabled(UINT command, const std::vector<RowState>& selection);

}  // namespace nb::console
