// The desktop contract: each row runs against every backend in `contract::backends()`.
#include "desktop_contract.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "desktop/accessibility.h"
#include "desktop/simulated/simulated_desktop.h"
#include "harness.h"
#include "text/unicode.h"

namespace contract {
namespace {

using desktop::Range;

class SimulatedStage : public Stage {
 public:
  desktop::Desktop& desktop() override { return sim_; }
  desktop::Pid show(Kind kind, const std::u16string& value, Range selection) override {
    desktop::simulated::Control& control = sim_.focusApplication(100, u"Contract", 1);
    const bool multiLine = kind == Kind::MultiLine || kind == Kind::KeysOnlyMultiLine;
    control.role = multiLine ? u"AXTextArea" : u"AXTextField";
    if (kind == Kind::Password) control.subrole = u"AXSecureTextField";
    control.editableText = kind != Kind::KeysOnly && kind != Kind::KeysOnlyMultiLine;
    control.value = value;
    control.selection = selection;
    sim_.controls[2].value = u"other";
    sim_.applications[200].name = u"Elsewhere";
    sim_.applications[200].focusedControl = 3;
    sim_.controls[3].value = u"";
    return 100;
  }
  std::u16string applicationName() override { return u"Contract"; }
  void focusAnotherControl() override { sim_.applications[100].focusedControl = 2; }
  void clickAnotherControl() override { focusAnotherControl(); }
  void bringAnotherApplicationToFront() override { sim_.frontmost = 200; }
  std::u16string shownText() override { return settled().controls[1].value; }
  std::u16string anotherControlText() override { return settled().controls[2].value; }
  std::u16string anotherApplicationText() override { return settled().controls[3].value; }
  desktop::Pid absentPid() override { return 999999; }

 private:
  desktop::simulated::SimulatedDesktop& settled() {
    sim_.finishTyping();
    return sim_;
  }
  desktop::simulated::SimulatedDesktop sim_;
};

}  // namespace

std::vector<Backend>& backends() {
  static std::vector<Backend> all = {
      {"Simulated", [] { return std::make_unique<SimulatedStage>(); }}, {"Atspi", makeAtspiStage}};
  return all;
}

namespace {

struct Row {
  const char* name;
  std::function<void(Stage&)> run;
};

std::u16string stringOf(Stage& stage, const desktop::Element& element, const char* name) {
  return desktop::stringAttribute(stage.desktop(), element, name).value_or(u"<none>");
}

std::u16string valueAfterTyping(Stage& stage, const desktop::Element& element,
                                const std::u16string& expected) {
  // Applications take typed text in their own time: read back for up to five seconds.
  std::u16string value;
  for (int i = 0; i < 100; ++i) {
    value = stringOf(stage, element, "AXValue");
    if (text::canonicallyEqual(value, expected)) break;
    stage.desktop().pause(std::chrono::milliseconds(50));
  }
  return value;
}

// Posts `text` as the insert does: a key-down carrying it, then a key-up.
desktop::PostResult post(Stage& stage, desktop::Pid pid, const desktop::Element& element,
                         std::pair<std::u16string, Range> checked, const std::u16string& text) {
  auto down = stage.desktop().createKeyboardEvent(0, true);
  auto up = stage.desktop().createKeyboardEvent(0, false);
  if (!down || !up) return desktop::PostResult::kCannotBuild;
  down->flags = 0;
  up->flags = 0;
  down->text = text;
  const desktop::PostTarget into{element, checked.first, checked.second};
  const desktop::PostResult result = stage.desktop().postKeyboardEvent(pid, into, *down);
  stage.desktop().postKeyboardEvent(pid, into, *up);
  return result;
}

// `shown` is `before`, a beginning of `typed`, and `after`: typing stopped, nothing else changed.
void expectTypedPart(const std::u16string& shown, const std::u16string& before,
                     const std::u16string& typed, const std::u16string& after) {
  ASSERT_GE(shown.size(), before.size() + after.size()) << text::toUtf8(shown);
  EXPECT_EQ(shown.substr(0, before.size()), before);
  EXPECT_EQ(shown.substr(shown.size() - after.size()), after);
  const std::u16string part =
      shown.substr(before.size(), shown.size() - before.size() - after.size());
  EXPECT_EQ(typed.substr(0, part.size()), part) << text::toUtf8(shown);
  std::printf("typing stopped after %zu of %zu units\n", part.size(), typed.size());
}

// Types a long text into a keys-only control and moves the focus meanwhile: typing stops, and
// nothing lands anywhere else.
void typeThenMoveTheFocus(Stage& stage, void (Stage::*move)()) {
  const std::u16string typed = testing_support::repeat(u"typing \u00e9 ", 200);
  const desktop::Pid pid = stage.show(Kind::KeysOnly, u"[]", {1, 0});
  const auto element = desktop::focused(stage.desktop(), pid);
  ASSERT_TRUE(element);
  const std::u16string other = stage.anotherControlText();
  const std::u16string otherApplication = stage.anotherApplicationText();
  EXPECT_EQ(post(stage, pid, *element, {u"[]", {1, 0}}, typed), desktop::PostResult::kPosted);
  (stage.*move)();
  // Any question to the desktop waits until the typing has stopped.
  desktop::frontmostApplication(stage.desktop());
  EXPECT_EQ(text::toUtf8(stage.anotherControlText()), text::toUtf8(other));
  EXPECT_EQ(text::toUtf8(stage.anotherApplicationText()), text::toUtf8(otherApplication));
  expectTypedPart(stage.shownText(), u"[", typed, u"]");
}

const std::vector<Row>& rows() {
  static const std::vector<Row> all = {
      {"TrustedWithAndWithoutPrompt",
       [](Stage& stage) {
         EXPECT_TRUE(stage.desktop().isProcessTrusted());
         EXPECT_TRUE(stage.desktop().isProcessTrustedWithPrompt());
       }},
      {"FrontmostIsTheShownApplication",
       [](Stage& stage) {
         const desktop::Pid pid = stage.show(Kind::SingleLine, u"x", {0, 0});
         const auto application = desktop::frontmostApplication(stage.desktop());
         ASSERT_TRUE(application);
         EXPECT_EQ(application->pid, pid);
         EXPECT_EQ(text::toUtf8(application->name.value_or(u"<none>")),
                   text::toUtf8(stage.applicationName()));
       }},
      {"RolesOfTextControls",
       [](Stage& stage) {
         struct Expect {
           Kind kind;
           std::u16string role;
           bool secure;
         };
         for (const Expect& e :
              {Expect{Kind::SingleLine, u"AXTextField", false},
               Expect{Kind::MultiLine, u"AXTextArea", false}, Expect{Kind::Password, u"", true}}) {
           const desktop::Pid pid = stage.show(e.kind, u"secret", {0, 0});
           const auto element = desktop::focused(stage.desktop(), pid);
           ASSERT_TRUE(element);
           const auto subrole = desktop::stringAttribute(stage.desktop(), *element, "AXSubrole");
           EXPECT_EQ(subrole && *subrole == u"AXSecureTextField", e.secure);
           if (!e.secure) {
             EXPECT_TRUE(stringOf(stage, *element, "AXRole") == e.role);
           }
         }
       }},
      {"ValueAndSelectionInCodeUnits",
       [](Stage& stage) {
         const std::u16string value = u"a\U0001F600\u00e9\u4e2db";
         const desktop::Pid pid = stage.show(Kind::SingleLine, value, {3, 2});
         const auto element = desktop::focused(stage.desktop(), pid);
         ASSERT_TRUE(element);
         EXPECT_EQ(text::toUtf8(stringOf(stage, *element, "AXValue")), text::toUtf8(value));
         EXPECT_EQ(text::toUtf8(stringOf(stage, *element, "AXSelectedText")), "\u00e9\u4e2d");
         const auto range = desktop::attribute(stage.desktop(), *element, "AXSelectedTextRange");
         ASSERT_TRUE(range);
         const auto* v = std::get_if<desktop::AccessibilityValue>(&*range);
         ASSERT_NE(v, nullptr);
         EXPECT_EQ(v->type, desktop::AccessibilityValue::kRangeType);
         EXPECT_EQ(v->range.location, 3);
         EXPECT_EQ(v->range.length, 2);
       }},
      {"CaretIsAnEmptyRange",
       [](Stage& stage) {
         const desktop::Pid pid = stage.show(Kind::MultiLine, u"one\ntwo", {4, 0});
         const auto element = desktop::focused(stage.desktop(), pid);
         ASSERT_TRUE(element);
         EXPECT_TRUE(stringOf(stage, *element, "AXSelectedText").empty());
         const auto range = desktop::attribute(stage.desktop(), *element, "AXSelectedTextRange");
         ASSERT_TRUE(range);
         const auto* v = std::get_if<desktop::AccessibilityValue>(&*range);
         ASSERT_NE(v, nullptr);
         EXPECT_EQ(v->range.location, 4);
         EXPECT_EQ(v->range.length, 0);
       }},
      {"SelectedTextIsSettableInEditableText",
       [](Stage& stage) {
         const desktop::Pid pid = stage.show(Kind::SingleLine, u"abc", {0, 1});
         const auto element = desktop::focused(stage.desktop(), pid);
         ASSERT_TRUE(element);
         const auto settable = stage.desktop().isAttributeSettable(*element, "AXSelectedText");
         EXPECT_EQ(settable.code, desktop::kSuccess);
         EXPECT_TRUE(settable.settable);
       }},
      {"OneControlIsEqualToItselfAndNoOther",
       [](Stage& stage) {
         const desktop::Pid pid = stage.show(Kind::SingleLine, u"abc", {0, 1});
         const auto first = desktop::focused(stage.desktop(), pid);
         const auto second = desktop::focused(stage.desktop(), pid);
         ASSERT_TRUE(first && second);
         EXPECT_TRUE(stage.desktop().equal(*first, *second));
         stage.focusAnotherControl();
         const auto other = desktop::focused(stage.desktop(), pid);
         ASSERT_TRUE(other);
         EXPECT_FALSE(stage.desktop().equal(*first, *other));
       }},
      {"AnotherApplicationInFront",
       [](Stage& stage) {
         const desktop::Pid pid = stage.show(Kind::SingleLine, u"abc", {0, 1});
         stage.bringAnotherApplicationToFront();
         const auto application = desktop::frontmostApplication(stage.desktop());
         EXPECT_TRUE(!application || application->pid != pid);
       }},
      {"UnknownAttributeIsNone",
       [](Stage& stage) {
         const desktop::Pid pid = stage.show(Kind::SingleLine, u"abc", {0, 1});
         const auto element = desktop::focused(stage.desktop(), pid);
         ASSERT_TRUE(element);
         EXPECT_FALSE(desktop::attribute(stage.desktop(), *element, "AXNoSuchAttribute"));
       }},
      {"NoProcessHasNoFocus",
       [](Stage& stage) {
         stage.show(Kind::SingleLine, u"abc", {0, 1});
         EXPECT_FALSE(desktop::focused(stage.desktop(), stage.absentPid()));
       }},
      {"AKeyPressTypesItsWholeTextOverTheSelection",
       [](Stage& stage) {
         const std::u16string typed = u"Z\u00fcrich \u4e2d \U0001F600 e\u0301!";
         const desktop::Pid pid = stage.show(Kind::SingleLine, u"Hello world", {6, 5});
         const auto element = desktop::focused(stage.desktop(), pid);
         ASSERT_TRUE(element);
         auto down = stage.desktop().createKeyboardEvent(0, true);
         auto up = stage.desktop().createKeyboardEvent(0, false);
         ASSERT_TRUE(down && up);
         down->flags = 0;
         up->flags = 0;
         down->text = typed;
         const desktop::PostTarget into{*element, u"Hello world", {6, 5}};
         EXPECT_EQ(stage.desktop().postKeyboardEvent(pid, into, *down),
                   desktop::PostResult::kPosted);
         stage.desktop().postKeyboardEvent(pid, into, *up);
         const std::u16string expected = u"Hello " + typed;
         EXPECT_EQ(text::toUtf8(valueAfterTyping(stage, *element, expected)),
                   text::toUtf8(expected));
       }},
      {"AKeysOnlyControlTakesTheTextAsTypedKeys",
       [](Stage& stage) {
         for (const Kind kind : {Kind::KeysOnly, Kind::KeysOnlyMultiLine}) {
           const std::u16string typed = kind == Kind::KeysOnly
                                            ? u"Z\u00fcrich \u4e2d \U0001F600 \u00e9!"
                                            : u"one\ntwo \u00e9\n";
           const desktop::Pid pid = stage.show(kind, u"Hello world", {6, 5});
           const auto element = desktop::focused(stage.desktop(), pid);
           ASSERT_TRUE(element);
           const auto settable = stage.desktop().isAttributeSettable(*element, "AXSelectedText");
           EXPECT_TRUE(settable.code == desktop::kSuccess && settable.settable);
           EXPECT_EQ(post(stage, pid, *element, {u"Hello world", {6, 5}}, typed),
                     desktop::PostResult::kPosted);
           const std::u16string expected = u"Hello " + typed;
           EXPECT_EQ(text::toUtf8(valueAfterTyping(stage, *element, expected)),
                     text::toUtf8(expected));
           EXPECT_EQ(text::toUtf8(stage.shownText()), text::toUtf8(expected));
         }
       }},
      {"KeysThatWouldEditOrMoveTheFocusAreRefusedBeforeAnyIsTyped",
       [](Stage& stage) {
         struct Refused {
           Kind kind;
           std::u16string text;
         };
         for (const Refused& r :
              {Refused{Kind::KeysOnly, u"a\tb"}, Refused{Kind::KeysOnly, u"a\nb"},
               Refused{Kind::KeysOnly, u"a\bb"}, Refused{Kind::KeysOnlyMultiLine, u"a\tb"},
               Refused{Kind::KeysOnlyMultiLine, u"a\r\nb"}}) {
           const desktop::Pid pid = stage.show(r.kind, u"keep", {4, 0});
           const auto element = desktop::focused(stage.desktop(), pid);
           ASSERT_TRUE(element);
           const std::u16string other = stage.anotherControlText();
           EXPECT_EQ(post(stage, pid, *element, {u"keep", {4, 0}}, r.text),
                     desktop::PostResult::kCannotBuild);
           EXPECT_EQ(text::toUtf8(stage.shownText()), "keep");
           EXPECT_EQ(text::toUtf8(stage.anotherControlText()), text::toUtf8(other));
         }
       }},
      {"NothingIsWrittenIntoAControlThatNoLongerShowsWhatWasChecked",
       [](Stage& stage) {
         for (const Kind kind : {Kind::SingleLine, Kind::KeysOnly}) {
           const desktop::Pid pid = stage.show(kind, u"Hello world", {0, 5});
           const auto element = desktop::focused(stage.desktop(), pid);
           ASSERT_TRUE(element);
           // The user selected another word since the checks read the control.
           EXPECT_EQ(post(stage, pid, *element, {u"Hello world", {6, 5}}, u"there"),
                     desktop::PostResult::kTargetChanged);
           EXPECT_EQ(post(stage, pid, *element, {u"Hello World", {0, 5}}, u"there"),
                     desktop::PostResult::kTargetChanged);
           EXPECT_EQ(text::toUtf8(stage.shownText()), "Hello world");
         }
       }},
      {"ClickIntoAnotherControlWhileTypingLandsNothingThere",
       [](Stage& stage) { typeThenMoveTheFocus(stage, &Stage::clickAnotherControl); }},
      {"AnotherApplicationRaisedWhileTypingGetsNothing",
       [](Stage& stage) { typeThenMoveTheFocus(stage, &Stage::bringAnotherApplicationToFront); }},
  };
  return all;
}

using Param = std::tuple<std::size_t, std::size_t>;  // backend, row

class DesktopContractTest : public ::testing::TestWithParam<Param> {};

TEST_P(DesktopContractTest, Holds) {
  const auto [backend, row] = GetParam();
  std::unique_ptr<Stage> stage = backends()[backend].make();
  if (!stage) GTEST_SKIP() << backends()[backend].name << " desktop is not available here";
  rows()[row].run(*stage);
}

INSTANTIATE_TEST_SUITE_P(Rows, DesktopContractTest,
                         ::testing::Combine(::testing::Range<std::size_t>(0, backends().size()),
                                            ::testing::Range<std::size_t>(0, rows().size())),
                         [](const auto& info) {
                           return backends()[std::get<0>(info.param)].name + "_" +
                                  rows()[std::get<1>(info.param)].name;
                         });

}  // namespace
}  // namespace contract
