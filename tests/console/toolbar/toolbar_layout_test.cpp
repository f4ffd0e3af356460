// The wrap rule by plain calls: rows at group boundaries, separators ending rows, and the
// narrowest width that keeps the row count.
#include <vector>

#include <gtest/gtest.h>

#include "toolbar_layout.h"

namespace nb::console {
namespace {

ButtonExtent B(int width) { return ButtonExtent{width, false}; }
ButtonExtent S(int width = 8) { return ButtonExtent{width, true}; }

TEST(ToolBarWrap, RowsBreakAtGroupBoundariesWithinTheWidth) {
  struct Case {
    const char* name;
    std::vector<ButtonExtent> buttons;
    int width;
    std::vector<bool> wrap;
    int rows, widest;
  };
  const Case cases[] = {
      {"all fit", {B(20), B(20), S(), B(20)}, 100, {false, false, false, false}, 1, 68},
      {"break after the group's separator", {B(20), B(20), S(), B(20), B(20)}, 70,
       {false, false, true, false, false}, 2, 40},
      {"no separator: before the button", {B(20), B(20), B(20), B(20), B(20)}, 50,
       {false, true, false, true, false}, 3, 40},
      {"separator past the edge ends the row", {B(30), B(30), S(), B(30)}, 60, {false, false, true, false}, 2, 60},
      {"a button wider than the bar has its row", {B(20), B(90), B(20)}, 50, {true, true, false}, 3, 90},
      {"empty bar", {}, 50, {}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<bool> wrap = WrapRows(c.buttons, c.width);
    EXPECT_EQ(wrap, c.wrap);
    EXPECT_EQ(RowCount(wrap), c.rows);
    EXPECT_EQ(WrappedWidth(c.buttons, wrap), c.widest);
  }
}

TEST(ToolBarWrap, SmallestWidthKeepsTheRowCount) {
  // One row at full width: the width of all buttons.
  EXPECT_EQ(SmallestWidthKeepingRows({B(20), B(20), B(20), B(20)}, 1000), 80);
  // Two groups in two rows: each row as narrow as its group.
  std::vector<ButtonExtent> groups = {B(20), B(20), S(), B(20), B(20)};
  EXPECT_EQ(RowCount(WrapRows(groups, 70)), 2);
  EXPECT_EQ(SmallestWidthKeepingRows(groups, 70), 40);
  // Narrower than the result would need more rows.
  EXPECT_GT(RowCount(WrapRows(groups, 39)), 2);
  EXPECT_EQ(SmallestWidthKeepingRows({}, 100), 0);
  EXPECT_EQ(SmallestWidthKeepingRows({B(30)}, 0), 30);
}

}  // namespace
}  // namespace nb::console
