// The toolbar's widget-free state: table, labels, options, drop-downs and customization
// replies.
#include "toolbar_model.h"

#include <algorithm>

namespace nb::console {

ImageSize ImageSizeOf(IconOption option) { return option == kIconLarge ? ImageSize{24, 24} : ImageSize{16, 15}; }

std::u16string PromptOf(std::u16string_view text) { return std::u16string(text.substr(0, text.find(u'\n'))); }

std::u16string LabelOf(std::u16string_view text) {
  size_t newline = text.find(u'\n');
  return newline == std::u16string_view::npos ? std::u16string() : std::u16string(text.substr(newline + 1));
}

std::vector<ToolButton> ButtonsFromIds(std::span<const UINT> ids) {
  std::vector<ToolButton> buttons;
  int image = 0;
  for (UINT id : ids) {
    ToolButton button;
    button.command = id;
    if (id == kSeparatorId) {
      button.style = kStyleSeparator;
    } else {
      button.image = image++;
    }
    buttons.push_back(button);
  }
  return buttons;
}

void DropDownTable::Add(UINT command, UINT menu, int submenu) { entries_.push_front(Entry{command, menu, submenu}); }

const DropDownTable::Entry* DropDownTable::Find(UINT command) const {
  for (const Entry& entry : entries_) {
    if (entry.command == command) return &entry;
  }
  return nullptr;
}

ToolBarModel::ToolBarModel(StringLoader strings) : strings_(std::move(strings)) {}

std::u16string ToolBarModel::LabelOfCommand(UINT command) const {
  if (command == kSeparatorId || !strings_) return {};
  return LabelOf(strings_(command));
}

std::u16string ToolBarModel::PromptOfCommand(UINT command) const {
  if (command == kSeparatorId || !strings_) return {};
  return PromptOf(strings_(command));
}

void ToolBarModel::SetButtons(std::span<const ToolButton> current, std::span<const ToolButton> extra) {
  table_.clear();
  current_.clear();
  // A command is on the bar and in the table once: a repeat would show one button for two
  // entries and leave the second without its label.
  auto known = [this](const ToolButton& button) { return !button.IsSeparator() && EntryOf(button.command); };
  for (const ToolButton& button : current) {
    if (known(button)) continue;
    current_.push_back(button);
    table_.push_back(ButtonEntry{button, button.IsSeparator() ? std::u16string() : LabelOfCommand(button.command), true});
  }
  for (const ToolButton& button : extra) {
    if (known(button)) continue;
    table_.push_back(ButtonEntry{button, button.IsSeparator() ? std::u16string() : LabelOfCommand(button.command), false});
  }
  SetTextOption(kTextNone);
  SetIconOption(kIconSmall);
}

int ToolBarModel::StringIndexOf(const std::u16string& label) {
  auto found = labelCache_.find(label);
  if (found != labelCache_.end()) return found->second;
  int index = static_cast<int>(pool_.size());
  pool_.push_back(label);
  labelCache_.emplace(label, index);
  return index;
}

bool ToolBarModel::ShowsText(const ToolButton& button) const {
  if (button.IsSeparator() || button.string < 0) return false;
  switch (textOption_) {
    case kTextBelow:
      return true;
    case kTextRight:
      return !hasButtonText_ || hasButtonText_(button.command);
    default:
      return false;
  }
}

void ToolBarModel::SetTextOption(int option) {
  textOption_ = option == kTextBelow || option == kTextRight ? static_cast<TextOption>(option) : kTextNone;
  ApplyTextOption();
}

void ToolBarModel::ApplyTextOption() {
  for (ButtonEntry& entry : table_) {
    if (entry.button.IsSeparator()) continue;
    int index = CommandToIndex(entry.button.command);
    if (index < 0) continue;
    ToolButton& button = current_[static_cast<size_t>(index)];
    button.string = textOption_ == kTextNone ? -1 : StringIndexOf(entry.label);
    button.style |= kStyleAutoSize;
  }
}

void ToolBarModel::SetIconOption(int option) { iconOption_ = option == kIconLarge ? kIconLarge : kIconSmall; }

int ToolBarModel::CommandToIndex(UINT command) const {
  if (command == kSeparatorId) return -1;
  for (size_t i = 0; i < current_.size(); ++i) {
    if (!current_[i].IsSeparator() && current_[i].command == command) return static_cast<int>(i);
  }
  return -1;
}

const ButtonEntry* ToolBarModel::EntryOf(UINT command) const {
  if (command == kSeparatorId) return nullptr;
  for (const ButtonEntry& entry : table_) {
    if (!entry.button.IsSeparator() && entry.button.command == command) return &entry;
  }
  return nullptr;
}

bool ToolBarModel::InsertButton(int index, const ToolButton& button) {
  if (index < 0 || static_cast<size_t>(index) > current_.size()) return false;
  // A command appears on the toolbar at most once; a second copy would leave its twin's
  // string and state stale.
  if (!button.IsSeparator() && CommandToIndex(button.command) >= 0) return false;
  current_.insert(current_.begin() + index, button);
  return true;
}

bool ToolBarModel::DeleteButton(int index) {
  if (index < 0 || static_cast<size_t>(index) >= current_.size()) return false;
  current_.erase(current_.begin() + index);
  return true;
}

bool ToolBarModel::MoveButton(int from, int to) {
  int count = static_cast<int>(current_.size());
  if (from < 0 || from >= count || to < 0 || to >= count) return false;
  ToolButton moved = current_[static_cast<size_t>(from)];
  current_.erase(current_.begin() + from);
  current_.insert(current_.begin() + to, moved);
  return true;
}

void ToolBarModel::SetCommandState(UINT command, bool enabled, bool hidden) {
  auto apply = [&](ToolButton& button) {
    if (button.IsSeparator() || button.command != command) return;
    button.state = static_cast<BYTE>((button.state & ~(kStateEnabled | kStateHidden)) | (enabled ? kStateEnabled : 0) |
                                     (hidden ? kStateHidden : 0));
  };
  for (ToolButton& button : current_) apply(button);
  for (ButtonEntry& entry : table_) apply(entry.button);
}

void ToolBarModel::SetDropDownStyle(UINT command, bool separateArrow) {
  BYTE style = separateArrow ? kStyleDropDown : kStyleWholeDropDown;
  auto apply = [&](ToolButton& button) {
    if (button.IsSeparator() || button.command != command) return;
    button.style = static_cast<BYTE>((button.style & ~(kStyleDropDown | kStyleWholeDropDown)) | style);
  };
  for (ToolButton& button : current_) apply(button);
  for (ButtonEntry& entry : table_) apply(entry.button);
}

bool ToolBarModel::QueryInsert(int) const { return true; }

bool ToolBarModel::QueryDelete(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= current_.size()) return false;
  return !current_[static_cast<size_t>(index)].IsHidden();
}

std::optional<ButtonEntry> ToolBarModel::GetButtonInfo(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= table_.size()) return std::nullopt;
  return table_[static_cast<size_t>(index)];
}

void ToolBarModel::Reset() {
  current_.clear();
  for (const ButtonEntry& entry : table_) {
    if (entry.isDefault) current_.push_back(entry.button);
  }
  SetTextOption(kTextNone);
}

void ToolBarModel::ToolBarChange() { ApplyTextOption(); }

}  // namespace nb::console
