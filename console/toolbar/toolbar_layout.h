// The toolbar's wrap rule as plain arithmetic: rows broken at group boundaries within a
// width, and the narrowest width that keeps a horizontal bar's row count.
#pragma once

#include <vector>

namespace nb::console {

struct ButtonExtent {
  int width = 0;
  bool separator = false;
};

// Where rows end: wrap[i] is true when a row ends after button i. A row that would grow past
// `width` is broken after the last separator in it, or before the button that does not fit
// when the row has no separator; a separator that ends a row takes no width. A single button
// wider than `width` gets a row of its own.
std::vector<bool> WrapRows(const std::vector<ButtonExtent>& buttons, int width);
int RowCount(const std::vector<bool>& wrap);
// The width of the widest row of a wrapping (separators ending a row count nothing).
int WrappedWidth(const std::vector<ButtonExtent>& buttons, const std::vector<bool>& wrap);

// For a horizontal dock: the smallest width whose wrapping has as many rows as the wrapping
// at `fullWidth`, found by binary search; the width returned is that wrapping's widest row.
int SmallestWidthKeepingRows(const std::vector<ButtonExtent>& buttons, int fullWidth);

}  // namespace nb::console
