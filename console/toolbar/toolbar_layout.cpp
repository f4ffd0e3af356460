// The wrap rule of the toolbar's buttons.
#include "toolbar_layout.h"

#include <algorithm>

namespace nb::console {

std::vector<bool> WrapRows(const std::vector<ButtonExtent>& buttons, int width) {
  std::vector<bool> wrap(buttons.size(), false);
  int x = 0;
  size_t rowStart = 0;
  for (size_t i = 0; i < buttons.size(); ++i) {
    const ButtonExtent& button = buttons[i];
    if (x + button.width <= width || i == rowStart) {
      x += button.width;
      continue;
    }
    if (button.separator) {
      // The separator ends the row and takes no width there.
      wrap[i] = true;
      x = 0;
      rowStart = i + 1;
      continue;
    }
    // Break after the last separator of the row, else before this button.
    size_t breakAfter = i - 1;
    for (size_t j = i; j-- > rowStart;) {
      if (buttons[j].separator) {
        breakAfter = j;
        break;
      }
    }
    wrap[breakAfter] = true;
    rowStart = breakAfter + 1;
    x = 0;
    for (size_t j = rowStart; j <= i; ++j) x += buttons[j].width;
  }
  return wrap;
}

int RowCount(const std::vector<bool>& wrap) {
  if (wrap.empty()) return 0;
  int rows = 1;
  for (size_t i = 0; i + 1 < wrap.size(); ++i) rows += wrap[i] ? 1 : 0;
  return rows;
}

int WrappedWidth(const std::vector<ButtonExtent>& buttons, const std::vector<bool>& wrap) {
  int widest = 0, x = 0;
  for (size_t i = 0; i < buttons.size(); ++i) {
    bool endsRow = i < wrap.size() && wrap[i];
    if (!(endsRow && buttons[i].separator)) x += buttons[i].width;
    if (endsRow || i + 1 == buttons.size()) {
      widest = std::max(widest, x);
      x = 0;
    }
  }
  return widest;
}

int SmallestWidthKeepingRows(const std::vector<ButtonExtent>& buttons, int fullWidth) {
  if (buttons.empty()) return 0;
  int rows = RowCount(WrapRows(buttons, fullWidth));
  int low = 1, high = std::max(fullWidth, 1);
  while (low < high) {
    int middle = low + (high - low) / 2;
    if (RowCount(WrapRows(buttons, middle)) <= rows) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return WrappedWidth(buttons, WrapRows(buttons, high));
}

}  // namespace nb::console
