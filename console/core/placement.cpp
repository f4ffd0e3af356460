// The main window's first placement and its saving at exit.
#include "placement.h"

#include <algorithm>

namespace nb::console {

namespace {

constexpr const char16_t* kFrame = u"Frame";

}  // namespace

FramePlacement ComputePlacement(const SavedPlacement& saved, const Rect& workArea, Extent screen, Extent icon) {
  FramePlacement placement;
  if (!saved.Complete()) return placement;
  placement.defaultPosition = false;
  placement.width = saved.right - saved.left;
  placement.height = saved.bottom - saved.top;
  // A window saved beyond the screen's right or bottom edge comes back far enough that an
  // icon's width and height of it stay visible.
  placement.x = std::min<int>(saved.left + workArea.left, screen.width - icon.width);
  placement.y = std::min<int>(saved.top + workArea.top, screen.height - icon.height);
  placement.show = saved.status;
  return placement;
}

SavedPlacement ReadPlacement(const Profile& profile) {
  SavedPlacement saved;
  saved.status = profile.GetInt(kFrame, u"Status", -1);
  saved.top = profile.GetInt(kFrame, u"Top", -1);
  saved.left = profile.GetInt(kFrame, u"Left", -1);
  saved.bottom = profile.GetInt(kFrame, u"Bottom", -1);
  saved.right = profile.GetInt(kFrame, u"Right", -1);
  return saved;
}

void SavePlacement(Profile& profile, int showCommand, const Rect& normal) {
  profile.SetInt(kFrame, u"Status", showCommand);
  profile.SetInt(kFrame, u"Top", normal.top);
  profile.SetInt(kFrame, u"Left", normal.left);
  profile.SetInt(kFrame, u"Bottom", normal.bottom);
  profile.SetInt(kFrame, u"Right", normal.right);
}

}  // namespace nb::console
