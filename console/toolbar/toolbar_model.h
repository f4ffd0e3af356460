// The toolbar's state without widgets: button table, labels and their string pool, text and
// icon options, the drop-down table and the replies the customization dialog gets.
#pragma once

#include <cstdint>
#include <forward_list>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

namespace nb::console {

// Prompt strings by command id ("Lock Folder\nLock"); empty when there is none.
using StringLoader = std::function<std::u16string(UINT)>;

// Command id of a separator in a button list.
inline constexpr UINT kSeparatorId = 0;

// Button states and styles, with the toolbar control's values.
inline constexpr BYTE kStateEnabled = 0x04;
inline constexpr BYTE kStateHidden = 0x08;
inline constexpr BYTE kStyleButton = 0x00;
inline constexpr BYTE kStyleSeparator = 0x01;
inline constexpr BYTE kStyleAutoSize = 0x10;
inline constexpr BYTE kStyleDropDown = 0x08;       // an arrow part beside the button opens the menu
inline constexpr BYTE kStyleWholeDropDown = 0x80;  // the whole button opens the menu

// One button as the toolbar control keeps it; string -1 means no string.
struct ToolButton {
  int image = -1;
  UINT command = kSeparatorId;
  BYTE state = kStateEnabled;
  BYTE style = kStyleButton;
  uintptr_t data = 0;
  int string = -1;

  bool IsSeparator() const { return (style & kStyleSeparator) != 0; }
  bool IsHidden() const { return (state & kStateHidden) != 0; }
  bool operator==(const ToolButton&) const = default;
};

// A button the toolbar knows: what it looks like, its label and whether a reset brings it
// back.
struct ButtonEntry {
  ToolButton button;
  std::u16string label;
  bool isDefault = false;
};

// Labels below the icons, right of the icons (only on buttons that answer yes to the
// has-button-text query), or none.
enum TextOption : int { kTextBelow = 0, kTextRight = 1, kTextNone = 2 };
// Small icons (16 x 15) or large icons (24 x 24).
enum IconOption : int { kIconSmall = 0, kIconLarge = 1 };

struct ImageSize {
  int width = 0;
  int height = 0;
  bool operator==(const ImageSize&) const = default;
};

// The bitmap size an icon option asks for; an unknown option gives the small size.
ImageSize ImageSizeOf(IconOption option);
// The part of a prompt string before the first newline (the status-bar prompt) and after it
// (the button label); without a newline the whole text is the prompt and there is no label.
std::u16string PromptOf(std::u16string_view text);
std::u16string LabelOf(std::u16string_view text);

// A button list as a toolbar resource gives it: command ids, 0 for a separator; images are
// numbered in order over the buttons that are not separators.
std::vector<ToolButton> ButtonsFromIds(std::span<const UINT> ids);

// Command id -> (menu resource id, submenu index). New entries go to the head of the list, so
// the latest entry for a command is the one found.
class DropDownTable {
 public:
  struct Entry {
    UINT command = 0;
    UINT menu = 0;
    int submenu = 0;
  };
  void Add(UINT command, UINT menu, int submenu);
  const Entry* Find(UINT command) const;
  void Clear() { entries_.clear(); }

 private:
  std::forward_list<Entry> entries_;
};

class ToolBarModel {
 public:
  explicit ToolBarModel(StringLoader strings = {});

  void SetStringLoader(StringLoader strings) { strings_ = std::move(strings); }
  // The has-button-text query of text option 1 (by default every button answers yes).
  void SetHasButtonText(std::function<bool(UINT)> query) { hasButtonText_ = std::move(query); }

  // Clears the table, takes every button of `current` (the toolbar's buttons, which become
  // the default buttons) with its label, appends `extra` (offered by the customization only),
  // then applies text option 2 and icon option 0. A command given twice counts once.
  void SetButtons(std::span<const ToolButton> current, std::span<const ToolButton> extra = {});

  // The label of a command: the text after the first newline of its prompt string.
  std::u16string LabelOfCommand(UINT command) const;
  // The status-bar prompt of a command: the text before the first newline.
  std::u16string PromptOfCommand(UINT command) const;

  // Options. The text option rewrites the string index of every table button on the
  // toolbar; an unknown option is treated as 2 (no labels).
  void SetTextOption(int option);
  TextOption GetTextOption() const { return textOption_; }
  void SetIconOption(int option);
  IconOption GetIconOption() const { return iconOption_; }
  ImageSize BitmapSize() const { return ImageSizeOf(iconOption_); }
  // Option 1 uses the list style with mixed buttons; at most one row of text unless 2.
  bool ListStyle() const { return textOption_ == kTextRight; }
  int MaxTextRows() const { return textOption_ == kTextNone ? 0 : 1; }
  // Whether a button on the toolbar shows its label now.
  bool ShowsText(const ToolButton& button) const;

  // The string pool: every distinct label once, indexed by the buttons' string field.
  const std::vector<std::u16string>& StringPool() const { return pool_; }
  // The index of `label` in the pool, adding it once when missing.
  int StringIndexOf(const std::u16string& label);

  const std::vector<ButtonEntry>& Table() const { return table_; }
  const std::vector<ToolButton>& Current() const { return current_; }
  // Index on the toolbar of the button with `command`, -1 when it is not there.
  int CommandToIndex(UINT command) const;
  const ButtonEntry* EntryOf(UINT command) const;

  // Editing the toolbar, as the customization dialog does; false for an index out of range.
  bool InsertButton(int index, const ToolButton& button);
  bool DeleteButton(int index);
  bool MoveButton(int from, int to);
  // The state of a command's button on the toolbar and in the table (enabled, hidden).
  void SetCommandState(UINT command, bool enabled, bool hidden);
  // Gives a command's button a drop-down style, on the toolbar and in the table.
  void SetDropDownStyle(UINT command, bool separateArrow);

  // Replies to the customization dialog.
  bool QueryInsert(int index) const;
  bool QueryDelete(int index) const;
  std::optional<ButtonEntry> GetButtonInfo(int index) const;
  void Reset();
  void ToolBarChange();

  DropDownTable& DropDowns() { return dropDowns_; }
  const DropDownTable& DropDowns() const { return dropDowns_; }

 private:
  void ApplyTextOption();

  StringLoader strings_;
  std::function<bool(UINT)> hasButtonText_;
  std::vector<ButtonEntry> table_;
  std::vector<ToolButton> current_;
  std::vector<std::u16string> pool_;
  std::map<std::u16string, int> labelCache_;
  TextOption textOption_ = kTextNone;
  IconOption iconOption_ = kIconSmall;
  DropDownTable dropDowns_;
};

}  // namespace nb::console
