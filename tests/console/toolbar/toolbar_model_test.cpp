// The toolbar model by plain calls: labels, the string pool, reset, edits, options, the
// drop-down table and the customization replies.
#include <map>
#include <vector>

#include <gtest/gtest.h>

#include "toolbar_model.h"

namespace nb::console {
namespace {

const std::map<UINT, std::u16string> kPrompts = {
    {32771, u"Change password\nPassword"}, {32773, u"Refresh\nRefresh"},   {32777, u"Lock Folder\nLock"},
    {32778, u"Unlock Folder\nUnlock"},     {32772, u"View\nView"},         {32775, u"Default settings\nDefault"},
    {32776, u"Administrator\nAdministrator"}, {32790, u"Lock again\nLock"}, {32791, u"A prompt without a label"},
};

std::u16string Prompt(UINT id) {
  auto found = kPrompts.find(id);
  return found == kPrompts.end() ? std::u16string() : found->second;
}

// A resource-like bar: two groups and a last button, with separators between them.
const UINT kResource[] = {32771, 32773, 0, 32777, 32778, 0, 32772, 32775, 0, 32776};

std::vector<UINT> CommandsOf(const std::vector<ToolButton>& buttons) {
  std::vector<UINT> commands;
  for (const ToolButton& button : buttons) commands.push_back(button.IsSeparator() ? 0 : button.command);
  return commands;
}

ToolButton Extra(UINT command, int image) {
  ToolButton button;
  button.command = command;
  button.image = image;
  return button;
}

class ToolBarModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<ToolButton> extra = {Extra(32790, 8), Extra(32791, 9)};
    model.SetButtons(ButtonsFromIds(kResource), extra);
  }
  int IndexOf(UINT command) const { return model.CommandToIndex(command); }
  // The pool text a button on the bar shows, empty when it has none.
  std::u16string TextOf(UINT command) const {
    int index = IndexOf(command);
    if (index < 0) return u"<absent>";
    int string = model.Current()[static_cast<size_t>(index)].string;
    return string < 0 ? std::u16string() : model.StringPool().at(static_cast<size_t>(string));
  }

  ToolBarModel model{Prompt};
};

TEST(ToolBarTexts, PromptAndLabelSplitAtTheFirstNewline) {
  struct Case {
    std::u16string text, prompt, label;
  };
  const Case cases[] = {
      {u"Lock Folder\nLock", u"Lock Folder", u"Lock"},
      {u"A prompt without a label", u"A prompt without a label", u""},
      {u"First\nSecond\nThird", u"First", u"Second\nThird"},
      {u"\nOnly a label", u"", u"Only a label"},
      {u"", u"", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PromptOf(c.text), c.prompt);
    EXPECT_EQ(LabelOf(c.text), c.label);
  }
}

TEST(ToolBarTexts, ImagesAreNumberedOverButtonsOnly) {
  std::vector<ToolButton> buttons = ButtonsFromIds(kResource);
  std::vector<int> images;
  for (const ToolButton& button : buttons) images.push_back(button.image);
  EXPECT_EQ(images, (std::vector<int>{0, 1, -1, 2, 3, -1, 4, 5, -1, 6}));
  EXPECT_TRUE(buttons[2].IsSeparator());
  EXPECT_FALSE(buttons[0].IsSeparator());
}

TEST_F(ToolBarModelTest, SetButtonsFillsTheTableWithDefaultsThenExtras) {
  ASSERT_EQ(model.Table().size(), std::size(kResource) + 2);
  for (size_t i = 0; i < model.Table().size(); ++i) {
    EXPECT_EQ(model.Table()[i].isDefault, i < std::size(kResource)) << i;
  }
  EXPECT_EQ(model.Table()[3].label, u"Lock");
  EXPECT_EQ(model.Table()[2].label, u"");
  EXPECT_EQ(model.Table().back().label, u"");  // its prompt has no label part
  EXPECT_EQ(model.GetTextOption(), kTextNone);
  EXPECT_EQ(model.GetIconOption(), kIconSmall);
  EXPECT_EQ(CommandsOf(model.Current()), std::vector<UINT>(std::begin(kResource), std::end(kResource)));
  for (const ToolButton& button : model.Current()) EXPECT_EQ(button.string, -1);
}

// Whatever the user did to the bar, a reset gives back exactly the resource's buttons.
TEST_F(ToolBarModelTest, ResetRestoresTheResourceButtonsInOrder) {
  const std::vector<UINT> resource(std::begin(kResource), std::end(kResource));
  struct Edit {
    const char* name;
    std::function<void(ToolBarModel&)> apply;
  };
  const Edit edits[] = {
      {"everything removed",
       [](ToolBarModel& m) {
         while (!m.Current().empty()) ASSERT_TRUE(m.DeleteButton(0));
       }},
      {"moved around",
       [](ToolBarModel& m) {
         ASSERT_TRUE(m.MoveButton(0, 9));
         ASSERT_TRUE(m.MoveButton(5, 1));
         ASSERT_TRUE(m.MoveButton(3, 4));
       }},
      {"extras and separators added",
       [](ToolBarModel& m) {
         ASSERT_TRUE(m.InsertButton(0, m.GetButtonInfo(10)->button));
         ASSERT_TRUE(m.InsertButton(3, ToolButton{-1, 0, kStateEnabled, kStyleSeparator, 0, -1}));
         ASSERT_TRUE(m.InsertButton(static_cast<int>(m.Current().size()), m.GetButtonInfo(11)->button));
       }},
      {"removed, moved and labelled",
       [](ToolBarModel& m) {
         ASSERT_TRUE(m.DeleteButton(2));
         ASSERT_TRUE(m.DeleteButton(0));
         ASSERT_TRUE(m.MoveButton(0, 4));
         m.SetTextOption(kTextBelow);
       }},
  };
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.name);
    model.SetButtons(ButtonsFromIds(kResource), std::vector<ToolButton>{Extra(32790, 8), Extra(32791, 9)});
    edit.apply(model);
    model.Reset();
    EXPECT_EQ(CommandsOf(model.Current()), resource);
    EXPECT_EQ(model.GetTextOption(), kTextNone);
    for (const ToolButton& button : model.Current()) EXPECT_EQ(button.string, -1);
    // The table itself is untouched by edits and resets.
    EXPECT_EQ(model.Table().size(), resource.size() + 2);
  }
}

TEST_F(ToolBarModelTest, RemovedButtonAddedBackKeepsItsLabel) {
  model.SetTextOption(kTextBelow);
  ASSERT_EQ(TextOf(32777), u"Lock");
  ASSERT_TRUE(model.DeleteButton(IndexOf(32777)));
  EXPECT_EQ(TextOf(32777), u"<absent>");
  // The customization dialog offers the button from the table and tells of the change.
  std::optional<ButtonEntry> entry;
  for (int i = 0; (entry = model.GetButtonInfo(i)); ++i) {
    if (entry->button.command == 32777) break;
  }
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->label, u"Lock");
  ASSERT_TRUE(model.InsertButton(0, entry->button));
  model.ToolBarChange();
  EXPECT_EQ(TextOf(32777), u"Lock");
  EXPECT_EQ(IndexOf(32777), 0);
}

TEST_F(ToolBarModelTest, SwitchingLabelsOffAndOnAddsNoDuplicateStrings) {
  model.SetTextOption(kTextBelow);
  std::vector<std::u16string> pool = model.StringPool();
  for (int option : {kTextNone, kTextBelow, kTextRight, kTextNone, kTextBelow}) model.SetTextOption(option);
  EXPECT_EQ(model.StringPool(), pool);
  // A second button with the same label shares its string.
  ASSERT_TRUE(model.InsertButton(0, model.GetButtonInfo(10)->button));
  model.ToolBarChange();
  EXPECT_EQ(model.StringPool(), pool);
  EXPECT_EQ(model.Current()[0].string, model.Current()[static_cast<size_t>(IndexOf(32777))].string);
  EXPECT_EQ(TextOf(32790), u"Lock");
}

TEST_F(ToolBarModelTest, TextOptionsDecideWhichButtonsShowText) {
  model.SetHasButtonText([](UINT command) { return command != 32773; });
  struct Case {
    int option;
    TextOption stored;
    bool list;
    int rows;
    bool refreshShows, lockShows;
  };
  const Case cases[] = {
      {kTextBelow, kTextBelow, false, 1, true, true},
      {kTextRight, kTextRight, true, 1, false, true},
      {kTextNone, kTextNone, false, 0, false, false},
      {7, kTextNone, false, 0, false, false},
      {-1, kTextNone, false, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    model.SetTextOption(c.option);
    EXPECT_EQ(model.GetTextOption(), c.stored);
    EXPECT_EQ(model.ListStyle(), c.list);
    EXPECT_EQ(model.MaxTextRows(), c.rows);
    EXPECT_EQ(model.ShowsText(model.Current()[static_cast<size_t>(IndexOf(32773))]), c.refreshShows);
    EXPECT_EQ(model.ShowsText(model.Current()[static_cast<size_t>(IndexOf(32777))]), c.lockShows);
    EXPECT_FALSE(model.ShowsText(model.Current()[2]));  // a separator
  }
}

TEST_F(ToolBarModelTest, IconOptionsGiveTheirBitmapSizes) {
  EXPECT_EQ(model.BitmapSize(), (ImageSize{16, 15}));
  model.SetIconOption(kIconLarge);
  EXPECT_EQ(model.BitmapSize(), (ImageSize{24, 24}));
  model.SetIconOption(5);
  EXPECT_EQ(model.GetIconOption(), kIconSmall);
  EXPECT_EQ(model.BitmapSize(), (ImageSize{16, 15}));
}

TEST_F(ToolBarModelTest, RepliesToTheCustomization) {
  EXPECT_TRUE(model.QueryInsert(0));
  EXPECT_TRUE(model.QueryInsert(100));
  EXPECT_TRUE(model.QueryDelete(0));
  EXPECT_FALSE(model.QueryDelete(-1));
  EXPECT_FALSE(model.QueryDelete(static_cast<int>(model.Current().size())));
  // A hidden button cannot be removed; it can again once shown.
  model.SetCommandState(32778, true, true);
  EXPECT_FALSE(model.QueryDelete(IndexOf(32778)));
  model.SetCommandState(32778, true, false);
  EXPECT_TRUE(model.QueryDelete(IndexOf(32778)));

  EXPECT_EQ(model.GetButtonInfo(0)->button.command, 32771u);
  EXPECT_TRUE(model.GetButtonInfo(11));
  EXPECT_FALSE(model.GetButtonInfo(12));
  EXPECT_FALSE(model.GetButtonInfo(-1));
}

TEST_F(ToolBarModelTest, EditsOutOfRangeOrDuplicatingACommandAreRefused) {
  std::vector<UINT> before = CommandsOf(model.Current());
  EXPECT_FALSE(model.InsertButton(-1, Extra(32790, 8)));
  EXPECT_FALSE(model.InsertButton(static_cast<int>(before.size()) + 1, Extra(32790, 8)));
  EXPECT_FALSE(model.InsertButton(0, Extra(32777, 2)));  // already on the bar
  EXPECT_FALSE(model.DeleteButton(static_cast<int>(before.size())));
  EXPECT_FALSE(model.MoveButton(0, static_cast<int>(before.size())));
  EXPECT_FALSE(model.MoveButton(-1, 0));
  EXPECT_EQ(CommandsOf(model.Current()), before);
  // Separators may repeat.
  EXPECT_TRUE(model.InsertButton(0, ToolButton{-1, 0, kStateEnabled, kStyleSeparator, 0, -1}));
}

TEST_F(ToolBarModelTest, StatesAndDropDownStylesSurviveAReset) {
  model.SetCommandState(32778, false, false);
  model.SetDropDownStyle(32772, false);
  model.Reset();
  const ToolButton& unlock = model.Current()[static_cast<size_t>(IndexOf(32778))];
  EXPECT_EQ(unlock.state & kStateEnabled, 0);
  const ToolButton& view = model.Current()[static_cast<size_t>(IndexOf(32772))];
  EXPECT_EQ(view.style & (kStyleDropDown | kStyleWholeDropDown), kStyleWholeDropDown);
  model.SetDropDownStyle(32772, true);
  EXPECT_EQ(model.Current()[static_cast<size_t>(IndexOf(32772))].style & (kStyleDropDown | kStyleWholeDropDown),
            kStyleDropDown);
}

TEST(ToolBarModel, ACommandGivenTwiceIsKeptOnce) {
  ToolBarModel model(Prompt);
  const UINT ids[] = {32777, 0, 32777, 32778, 0};
  model.SetButtons(ButtonsFromIds(ids), std::vector<ToolButton>{Extra(32778, 5), Extra(32790, 6)});
  EXPECT_EQ(CommandsOf(model.Current()), (std::vector<UINT>{32777, 0, 32778, 0}));
  ASSERT_EQ(model.Table().size(), 5u);
  EXPECT_EQ(model.Table().back().button.command, 32790u);
  model.SetTextOption(kTextBelow);
  for (const ToolButton& button : model.Current()) EXPECT_EQ(button.IsSeparator(), button.string < 0);
}

TEST(DropDownTable, FoundByCommandLatestEntryWins) {
  DropDownTable table;
  EXPECT_EQ(table.Find(32772), nullptr);
  table.Add(32772, 128, 2);
  table.Add(32777, 130, 1);
  ASSERT_NE(table.Find(32772), nullptr);
  EXPECT_EQ(table.Find(32772)->menu, 128u);
  table.Add(32772, 129, 3);
  EXPECT_EQ(table.Find(32772)->menu, 129u);
  EXPECT_EQ(table.Find(32772)->submenu, 3);
  EXPECT_EQ(table.Find(32777)->menu, 130u);
  EXPECT_EQ(table.Find(32778), nullptr);
  table.Clear();
  EXPECT_EQ(table.Find(32777), nullptr);
}

}  // namespace
}  // namespace nb::console
