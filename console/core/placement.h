// Where the main window opens: the saved placement of the profile ("Frame" values) pulled
// back onto the screen, or the default size. Pure.
#pragma once

#include "profile.h"

namespace nb::console {

// A rectangle in screen pixels (left and top inclusive, right and bottom exclusive).
struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

struct Extent {
  int width = 0;
  int height = 0;
};

// Show commands of a window.
inline constexpr int kShowNormal = 1;
inline constexpr int kShowMinimized = 2;
inline constexpr int kShowMaximized = 3;

// The profile values "Frame"/"Status", "Top", "Left", "Bottom", "Right"; -1 when absent.
struct SavedPlacement {
  int status = -1;
  int top = -1;
  int left = -1;
  int bottom = -1;
  int right = -1;
  bool Complete() const { return status != -1 && top != -1 && left != -1 && bottom != -1 && right != -1; }
};

inline constexpr int kDefaultFrameWidth = 680;
inline constexpr int kDefaultFrameHeight = 420;

struct FramePlacement {
  bool defaultPosition = true;  // true: let the window system place it
  int x = 0;
  int y = 0;
  int width = kDefaultFrameWidth;
  int height = kDefaultFrameHeight;
  int show = kShowNormal;  // the first show command
};

// From the saved values, the work area, the screen size and the icon size: the saved
// rectangle (its left and top moved by the work area's, but never further right or down
// than an icon's size inside the screen) with the saved show command; with any value
// missing, 680 x 420 at the default position shown normally.
FramePlacement ComputePlacement(const SavedPlacement& saved, const Rect& workArea, Extent screen, Extent icon);

SavedPlacement ReadPlacement(const Profile& profile);
// Stores the show command and the normal (restored) rectangle.
void SavePlacement(Profile& profile, int showCommand, const Rect& normal);

}  // namespace nb::console
