// MessageBoxW through the process's presenter: what a presenter is given, scripted
// answers, declining when nobody answers, and styles that do not exist.
#include <gtest/gtest.h>

#include <windows.h>

#include "nb/win/message_box.h"

namespace {

TEST(MessageBox, ThePresenterGetsCaptionTextIconAndButtons) {
  nb::win::ScriptedMessageBoxes boxes;
  boxes.Answer(IDYES);
  EXPECT_EQ(MessageBoxW(nullptr, u"Unlock D:\\Data?", u"Warning", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2), IDYES);
  EXPECT_EQ(MessageBoxW(nullptr, nullptr, nullptr, MB_OK | MB_ICONERROR), IDOK);
  auto shown = boxes.Shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].caption, u"Warning");
  EXPECT_EQ(shown[0].text, u"Unlock D:\\Data?");
  EXPECT_EQ(shown[0].Icon(), static_cast<UINT>(MB_ICONQUESTION));
  EXPECT_EQ(shown[0].Buttons(), static_cast<UINT>(MB_YESNO));
  EXPECT_EQ(shown[0].DefaultButton(), 1u);
  EXPECT_EQ(shown[1].caption, u"Error") << "the caption of a box without one";
  EXPECT_EQ(shown[1].text, u"");
  EXPECT_EQ(shown[1].Icon(), static_cast<UINT>(MB_ICONERROR));
}

TEST(MessageBox, UnscriptedOrImpossibleAnswersDecline) {
  nb::win::ScriptedMessageBoxes boxes;
  boxes.Answer(IDRETRY);  // not a button of a yes/no box
  struct Case {
    UINT type;
    int answer;
  };
  const Case cases[] = {
      {MB_YESNO, IDNO},          {MB_OK, IDOK},           {MB_OKCANCEL, IDCANCEL},
      {MB_YESNOCANCEL, IDCANCEL}, {MB_ABORTRETRYIGNORE, IDABORT}, {MB_RETRYCANCEL, IDCANCEL},
      {MB_CANCELTRYCONTINUE, IDCANCEL},
  };
  for (const Case& c : cases) EXPECT_EQ(MessageBoxW(nullptr, u"t", u"c", c.type), c.answer) << c.type;
}

TEST(MessageBox, AStyleWithoutButtonsIsRefused) {
  nb::win::ScriptedMessageBoxes boxes;
  SetLastError(0);
  EXPECT_EQ(MessageBoxW(nullptr, u"t", u"c", 7), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_MSGBOX_STYLE));
  EXPECT_TRUE(boxes.Shown().empty());
}

TEST(MessageBox, WithoutAPresenterTheBoxGoesToStandardErrorAndIsDeclined) {
  ::testing::internal::CaptureStderr();
  int answer = MessageBoxW(nullptr, u"Cannot lock the folder.", u"Error", MB_OKCANCEL | MB_ICONERROR);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: Cannot lock the folder.\n");
  EXPECT_EQ(answer, IDCANCEL);
}

// A GUI presenter that can be switched off, as one whose application has ended.
class SwitchedPresenter final : public nb::win::MessageBoxPresenter {
 public:
  int Present(const nb::win::MessageBoxRequest&) override {
    ++shown;
    return IDOK;
  }
  bool CanPresent() const override { return on; }
  bool on = true;
  int shown = 0;
};

TEST(MessageBox, TheGuiPresenterShowsWhileItCanAndNothingIsInstalled) {
  SwitchedPresenter gui;
  ASSERT_EQ(nb::win::SetGuiMessageBoxPresenter(&gui), nullptr);
  EXPECT_EQ(MessageBoxW(nullptr, u"t", u"c", MB_OKCANCEL), IDOK);
  EXPECT_EQ(gui.shown, 1);
  {
    nb::win::ScriptedMessageBoxes scripted;  // an installed presenter comes first
    EXPECT_EQ(MessageBoxW(nullptr, u"t", u"c", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(scripted.Shown().size(), 1u);
  }
  gui.on = false;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxW(nullptr, u"t", u"c", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "c: t\n");
  EXPECT_EQ(gui.shown, 1);
  EXPECT_EQ(nb::win::SetGuiMessageBoxPresenter(nullptr), &gui);
}

TEST(MessageBox, ScopedPresentersNest) {
  nb::win::ScriptedMessageBoxes outer;
  {
    nb::win::ScriptedMessageBoxes inner;
    MessageBoxW(nullptr, u"inner", u"c", MB_OK);
    EXPECT_EQ(inner.Shown().size(), 1u);
  }
  MessageBoxW(nullptr, u"outer", u"c", MB_OK);
  ASSERT_EQ(outer.Shown().size(), 1u);
  EXPECT_EQ(outer.Shown()[0].text, u"outer");
}

}  // namespace
