// A frame with the console's actions and a CToolBarEx over the test module's prompt strings
// and bitmap strips, shared by the widget and dialog tests.
#pragma once

#include <QAction>
#include <QMainWindow>
#include <QToolButton>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "toolbar_ex.h"

namespace nb::console::testing {

inline std::u16string UnixName(const std::string& hostPath) {
  return u"\\\\?\\unix\\" + QString::fromStdString(hostPath).toStdU16String();
}

// The buttons on a toolbar in order, by command id (0 for a separator).
inline std::vector<UINT> CommandsOn(const QToolBar& toolbar) {
  std::vector<UINT> commands;
  for (QAction* action : toolbar.actions()) commands.push_back(action->isSeparator() ? 0 : action->property("nbCommand").toUInt());
  return commands;
}

inline const std::vector<UINT> kResourceButtons(std::begin(kMainToolBarButtons), std::end(kMainToolBarButtons));

class ToolBarFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    module = LoadLibraryW(UnixName(TEST_MODULE_DIR "/TBTEST.EN").c_str());
    ASSERT_NE(module, nullptr) << "the test module TBTEST.EN is missing";
    frame = std::make_unique<QMainWindow>();
    for (UINT id : kResourceButtons) {
      if (id == 0 || frameActions.count(id)) continue;
      auto* action = new QAction(QString::number(id), frame.get());
      action->setObjectName(QString::number(id));
      frameActions[id] = action;
    }
    toolbar = MakeToolBar();
  }
  void TearDown() override {
    frame.reset();
    if (module) FreeLibrary(module);
  }

  // A toolbar as the frame creates it: resource buttons, both image sizes, labels below.
  template <typename ToolBar = CToolBarEx>
  ToolBar* MakeToolBar() {
    auto* bar = new ToolBar(frame.get(), [this](UINT id) { return Text(id); });
    frame->addToolBar(Qt::TopToolBarArea, bar);
    bar->SetButtons(kMainToolBarButtons);
    EXPECT_TRUE(bar->LoadImages(module, kIconSmall, 145, 144, 0, 16));
    EXPECT_TRUE(bar->LoadImages(module, kIconLarge, 147, 146, 0, 24));
    bar->SetTextOptions(kTextBelow);
    return bar;
  }

  std::u16string Text(UINT id) const {
    const WCHAR* text = nullptr;
    int length = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? std::u16string(text, static_cast<size_t>(length)) : std::u16string();
  }

  HMODULE module = nullptr;
  std::unique_ptr<QMainWindow> frame;
  std::map<UINT, QAction*> frameActions;
  CToolBarEx* toolbar = nullptr;
};

}  // namespace nb::console::testing
