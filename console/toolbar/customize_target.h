// What the customization dialog asks of a toolbar and how it edits it.
#pragma once

#include <QIcon>
#include <QString>

#include <optional>
#include <vector>

#include "toolbar_model.h"

namespace nb::console {

class CustomizeTarget {
 public:
  virtual ~CustomizeTarget() = default;

  // May a button go in at `index` of the toolbar / may the button at `index` be removed?
  virtual bool QueryInsert(int index) = 0;
  virtual bool QueryDelete(int index) = 0;
  // The known button at `index` of the toolbar's table; none after the last.
  virtual std::optional<ButtonEntry> GetButtonInfo(int index) = 0;
  // The buttons on the toolbar now, in order.
  virtual std::vector<ToolButton> CurrentButtons() const = 0;
  virtual QString LabelOf(const ToolButton& button) const = 0;
  virtual QIcon IconOf(const ToolButton& button) const = 0;

  // Edits; false when the index is out of range.
  virtual bool InsertButton(int index, const ToolButton& button) = 0;
  virtual bool DeleteButton(int index) = 0;
  virtual bool MoveButton(int from, int to) = 0;
  // Back to the default buttons; told after every edit.
  virtual void Reset() = 0;
  virtual void ToolBarChange() = 0;
};

}  // namespace nb::console
