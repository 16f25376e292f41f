// "insert", its checks: each in its order with its code, and the value the control must show.
#include "operations/insert.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "scene.h"
#include "text/unicode.h"

namespace {

using desktop::AccessibilityValue;
using desktop::simulated::Fails;
using desktop::simulated::Missing;
using desktop::simulated::SimulatedDesktop;
using testing_support::kNotes;
using testing_support::kOther;
using testing_support::repeat;
using testing_support::SceneTest;

constexpr char kInserted[] = R"({"id":"i","inserted":true,"ok":true})";
constexpr char kChanged[] = R"({"error":"target_changed","id":"i","ok":false})";
constexpr char kUnsafe[] = R"({"error":"unsafe_input","id":"i","ok":false})";

// A row: what changes after the capture, the insert request (TOKEN stands for the captured
// token), the response, and the control's value afterwards (empty: unchanged).
struct Case {
  const char* name;
  std::function<void(SimulatedDesktop&)> change;
  std::string request;
  std::string response;
  std::u16string valueAfter;
};

const auto kNoChange = [](SimulatedDesktop&) {};
const std::string kPlain = R"({"id":"i","op":"insert","token":"TOKEN","text":"there"})";

std::string withText(const std::string& textJson) {
  return R"({"id":"i","op":"insert","token":"TOKEN","text":)" + textJson + "}";
}

std::vector<Case> checkCases() {
  return {
      {"Inserts", kNoChange, kPlain, kInserted, u"Hello there"},
      // The capture and the request.
      {"ReleasedBefore", [](SimulatedDesktop&) { operations::target.reset(); }, kPlain, kChanged,
       u""},
      {"WrongToken", kNoChange, R"({"id":"i","op":"insert","token":"nope","text":"there"})",
       kChanged, u""},
      {"TokenInLowerCase", kNoChange, "LOWERCASE", kChanged, u""},
      {"TokenMissing", kNoChange, R"({"id":"i","op":"insert","text":"there"})", kChanged, u""},
      {"TokenNumber", kNoChange, R"({"id":"i","op":"insert","token":1,"text":"there"})", kChanged,
       u""},
      {"Age599_9", [](SimulatedDesktop& d) { d.wallClock += 599.9; }, kPlain, kInserted,
       u"Hello there"},
      {"Age600", [](SimulatedDesktop& d) { d.wallClock += 600.0; }, kPlain, kChanged, u""},
      {"Age3600", [](SimulatedDesktop& d) { d.wallClock += 3600; }, kPlain, kChanged, u""},
      {"ClockSetBack", [](SimulatedDesktop& d) { d.wallClock -= 86400; }, kPlain, kInserted,
       u"Hello there"},
      {"TextMissing", kNoChange, R"({"id":"i","op":"insert","token":"TOKEN"})", kChanged, u""},
      {"TextNull", kNoChange, withText("null"), kChanged, u""},
      {"TextNumber", kNoChange, withText("5"), kChanged, u""},
      {"TextArray", kNoChange, withText(R"(["x"])"), kChanged, u""},
      {"TextEmpty", kNoChange, withText(R"("")"), kChanged, u""},
      {"TextBlank", kNoChange, withText(R"(" \t\r\n\u000b\f\u0085\u00a0\u2028\u3000")"), kChanged,
       u""},
      {"TextKeepsItsBlanks", kNoChange, withText(R"(" x\n")"), kInserted, u"Hello  x\n"},
      {"TextZeroWidthSpaceIsNotBlank", kNoChange, withText(R"("\u200b")"), kInserted,
       u"Hello \u200B"},
      {"Text30000Units", kNoChange, withText("\"" + repeat("a", 30000) + "\""), kInserted,
       u"Hello " + std::u16string(30000, u'a')},
      {"Text30001Units", kNoChange, withText("\"" + repeat("a", 30001) + "\""), kChanged, u""},
      {"Text15000Astral", kNoChange, withText("\"" + repeat("\U0001F600", 15000) + "\""), kInserted,
       u"Hello " + text::toUtf16(repeat("\U0001F600", 15000))},
      {"Text15001Astral", kNoChange, withText("\"" + repeat("\U0001F600", 15001) + "\""), kChanged,
       u""},
      // The application and the control.
      {"OtherApplicationInFront", [](SimulatedDesktop& d) { d.frontmost = kOther; }, kPlain,
       kChanged, u""},
      {"NoApplicationInFront", [](SimulatedDesktop& d) { d.frontmost.reset(); }, kPlain, kChanged,
       u""},
      {"FocusMovedToAnotherControl",
       [](SimulatedDesktop& d) { d.applications[kNotes].focusedControl = 2; }, kPlain, kChanged,
       u""},
      {"FocusGone", [](SimulatedDesktop& d) { d.applications[kNotes].focusedControl.reset(); },
       kPlain, kChanged, u""},
      {"FocusedReadFails",
       [](SimulatedDesktop& d) { d.applications[kNotes].focusedAttribute = Fails{}; }, kPlain,
       kChanged, u""},
      {"BecameSecure", [](SimulatedDesktop& d) { d.controls[1].subrole = u"AXSecureTextField"; },
       kPlain, kUnsafe, u""},
      {"SecureWhateverItsRole",
       [](SimulatedDesktop& d) {
         d.controls[1].subrole = u"AXSecureTextField";
         d.controls[1].role = u"AXTextArea";
       },
       kPlain, kUnsafe, u""},
      {"SubroleUnreadable",
       [](SimulatedDesktop& d) { d.controls[1].attributes["AXSubrole"] = Fails{}; }, kPlain,
       kInserted, u"Hello there"},
      {"TextArea", [](SimulatedDesktop& d) { d.controls[1].role = u"AXTextArea"; }, kPlain,
       kInserted, u"Hello there"},
      {"Button", [](SimulatedDesktop& d) { d.controls[1].role = u"AXButton"; }, kPlain, kUnsafe,
       u""},
      {"RoleInOtherCase", [](SimulatedDesktop& d) { d.controls[1].role = u"axtextfield"; }, kPlain,
       kUnsafe, u""},
      {"RoleUnreadable", [](SimulatedDesktop& d) { d.controls[1].attributes["AXRole"] = Fails{}; },
       kPlain, kUnsafe, u""},
      {"RoleMissing", [](SimulatedDesktop& d) { d.controls[1].attributes["AXRole"] = Missing{}; },
       kPlain, kUnsafe, u""},
      {"SelectedTextNotSettable",
       [](SimulatedDesktop& d) {
         d.controls[1].selectedTextSettable = {desktop::kSuccess, false};
       },
       kPlain, kUnsafe, u""},
      {"SettableQueryFails",
       [](SimulatedDesktop& d) {
         d.controls[1].selectedTextSettable = {desktop::kCannotComplete, true};
       },
       kPlain, kUnsafe, u""},
      {"ValueUnreadable",
       [](SimulatedDesktop& d) { d.controls[1].attributes["AXValue"] = Fails{}; }, kPlain, kUnsafe,
       u""},
      {"ValueMissing", [](SimulatedDesktop& d) { d.controls[1].attributes["AXValue"] = Missing{}; },
       kPlain, kUnsafe, u""},
      {"ValueIsANumber", [](SimulatedDesktop& d) { d.controls[1].attributes["AXValue"] = 4.0; },
       kPlain, kUnsafe, u""},
      {"RangeUnreadable",
       [](SimulatedDesktop& d) { d.controls[1].attributes["AXSelectedTextRange"] = Fails{}; },
       kPlain, kUnsafe, u""},
      {"RangeIsANumber",
       [](SimulatedDesktop& d) { d.controls[1].attributes["AXSelectedTextRange"] = 3.0; }, kPlain,
       kUnsafe, u""},
      {"RangeIsAnotherValueType",
       [](SimulatedDesktop& d) {
         d.controls[1].attributes["AXSelectedTextRange"] = AccessibilityValue{1, {6, 5}};
       },
       kPlain, kUnsafe, u""},
      {"NegativeLocation",
       [](SimulatedDesktop& d) {
         d.controls[1].selection = {-1, 1};
       },
       kPlain, kUnsafe, u""},
      {"NegativeLength",
       [](SimulatedDesktop& d) {
         d.controls[1].selection = {2, -1};
       },
       kPlain, kUnsafe, u""},
      {"LocationPastTheEnd",
       [](SimulatedDesktop& d) {
         d.controls[1].selection = {12, 0};
       },
       kPlain, kUnsafe, u""},
      {"EndOnePastTheEnd",
       [](SimulatedDesktop& d) {
         d.controls[1].selection = {6, 6};
       },
       kPlain, kUnsafe, u""},
      {"HugeLengthDoesNotOverflow",
       [](SimulatedDesktop& d) {
         d.controls[1].selection = {6, std::numeric_limits<int64_t>::max()};
       },
       kPlain, kUnsafe, u""},
      {"HugeLocation",
       [](SimulatedDesktop& d) {
         d.controls[1].selection = {std::numeric_limits<int64_t>::max(), 1};
       },
       kPlain, kUnsafe, u""},
      {"Value1000001Units",
       [](SimulatedDesktop& d) {
         d.controls[1].value = std::u16string(1000001, u'v');
         d.controls[1].selection = {0, 0};
       },
       kPlain, kUnsafe, u""},
  };
}

class InsertCheckTest : public SceneTest, public ::testing::WithParamInterface<Case> {};

TEST_P(InsertCheckTest, AnswersAndConsumesTheTarget) {
  const std::string token = captureToken();
  ASSERT_FALSE(token.empty());
  GetParam().change(desktop);
  const std::u16string before = desktop.controls[1].value;
  std::string request = GetParam().request;
  if (request == "LOWERCASE") {
    std::string lower = token;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    request = R"({"id":"i","op":"insert","token":")" + lower + R"(","text":"there"})";
  }
  const auto at = request.find("TOKEN");
  if (at != std::string::npos) request.replace(at, 5, token);

  EXPECT_EQ(send(request), GetParam().response);
  EXPECT_FALSE(operations::target.has_value()) << "every insert consumes the target";
  const std::u16string& expected = GetParam().valueAfter.empty() ? before : GetParam().valueAfter;
  EXPECT_TRUE(desktop.controls[1].value == expected) << "control value";
  const bool refused = GetParam().response != kInserted;
  if (refused) {
    EXPECT_TRUE(desktop.posted.empty()) << "a refusal posts nothing";
  }
  // A second insert with the same token always finds nothing.
  EXPECT_EQ(send(request), kChanged);
}

INSTANTIATE_TEST_SUITE_P(Cases, InsertCheckTest, ::testing::ValuesIn(checkCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The selection the parent was shown is the one replaced: arranged before the capture, the
// range's edge cases insert; moved after it, nothing is written.
struct SelectionCase {
  const char* name;
  std::function<void(SimulatedDesktop&)> beforeCapture;
  std::function<void(SimulatedDesktop&)> afterCapture;
  std::string response;
  std::u16string valueAfter;  // empty: unchanged
};

class CapturedSelectionTest : public SceneTest,
                              public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(CapturedSelectionTest, IsTheOneReplaced) {
  GetParam().beforeCapture(desktop);
  const std::string token = captureToken();
  ASSERT_FALSE(token.empty());
  GetParam().afterCapture(desktop);
  const std::u16string before = desktop.controls[1].value;
  EXPECT_EQ(send(insertLine(token, R"("there")")), GetParam().response);
  const std::u16string& expected = GetParam().valueAfter.empty() ? before : GetParam().valueAfter;
  EXPECT_TRUE(desktop.controls[1].value == expected) << "control value";
  if (GetParam().response != kInserted) {
    EXPECT_TRUE(desktop.posted.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CapturedSelectionTest,
    ::testing::Values(
        SelectionCase{"RangeEndsAtTheEnd",
                      [](SimulatedDesktop& d) {
                        d.controls[1].selection = {0, 11};
                      },
                      kNoChange, kInserted, u"there"},
        SelectionCase{"CaretAtTheEnd",
                      [](SimulatedDesktop& d) {
                        d.controls[1].selection = {11, 0};
                      },
                      kNoChange, kInserted, u"Hello worldthere"},
        SelectionCase{"EmptyValue",
                      [](SimulatedDesktop& d) {
                        d.controls[1].value = u"";
                        d.controls[1].selection = {0, 0};
                      },
                      kNoChange, kInserted, u"there"},
        SelectionCase{"Value1000000Units",
                      [](SimulatedDesktop& d) {
                        d.controls[1].value = std::u16string(1000000, u'v');
                        d.controls[1].selection = {1000000, 0};
                      },
                      kNoChange, kInserted, std::u16string(1000000, u'v') + u"there"},
        SelectionCase{"UserSelectedOtherWordOfTheSameLength", kNoChange,
                      [](SimulatedDesktop& d) {
                        d.controls[1].selection = {0, 5};
                      },
                      kChanged, u""},
        SelectionCase{"UserExtendedTheSelection", kNoChange,
                      [](SimulatedDesktop& d) {
                        d.controls[1].selection = {5, 6};
                      },
                      kChanged, u""},
        SelectionCase{"UserMovedTheCaret",
                      [](SimulatedDesktop& d) {
                        d.controls[1].selection = {11, 0};
                      },
                      [](SimulatedDesktop& d) {
                        d.controls[1].selection = {0, 0};
                      },
                      kChanged, u""},
        SelectionCase{"SameRangeOtherText", kNoChange,
                      [](SimulatedDesktop& d) { d.controls[1].value = u"Hello WORLD"; }, kChanged,
                      u""},
        SelectionCase{"EquivalentTextInADifferentRange",
                      [](SimulatedDesktop& d) {
                        d.controls[1].value = u"caf\u00e9";
                        d.controls[1].selection = {3, 1};
                      },
                      [](SimulatedDesktop& d) {
                        d.controls[1].value = u"cafe\u0301";
                        d.controls[1].selection = {3, 2};
                      },
                      kChanged, u""},
        SelectionCase{
            "RangeUnreadableAtCapture",
            [](SimulatedDesktop& d) { d.controls[1].attributes["AXSelectedTextRange"] = Fails{}; },
            [](SimulatedDesktop& d) { d.controls[1].attributes.erase("AXSelectedTextRange"); },
            kChanged, u""}),
    [](const auto& info) { return std::string(info.param.name); });

// The plan itself: the UTF-16 arithmetic of the expected value.
struct PlanCase {
  const char* name;
  std::u16string value;
  desktop::Range selection;
  std::string text;
  std::u16string expected;
};

class InsertPlanTest : public SceneTest, public ::testing::WithParamInterface<PlanCase> {};

TEST_P(InsertPlanTest, ReplacesTheRangeInCodeUnits) {
  desktop.controls[1].value = GetParam().value;
  desktop.controls[1].selection = GetParam().selection;
  const std::string token = captureToken();
  operations::JsonObject request = {{"op", "insert"}, {"token", token}, {"text", GetParam().text}};
  auto planned = operations::planInsert(desktop, request);
  ASSERT_TRUE(std::holds_alternative<operations::InsertPlan>(planned));
  const auto& plan = std::get<operations::InsertPlan>(planned);
  EXPECT_EQ(plan.pid, kNotes);
  EXPECT_TRUE(plan.value == GetParam().value);
  EXPECT_TRUE(plan.expected == GetParam().expected) << text::toUtf8(plan.expected);
  EXPECT_TRUE(plan.text == text::toUtf16(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InsertPlanTest,
    ::testing::Values(PlanCase{"Middle", u"Hello world", {6, 5}, "there", u"Hello there"},
                      PlanCase{"WholeValue", u"Hello", {0, 5}, "x", u"x"},
                      PlanCase{"CaretAtStart", u"Hello", {0, 0}, "x", u"xHello"},
                      PlanCase{"CaretAtEnd", u"Hello", {5, 0}, "x", u"Hellox"},
                      PlanCase{"EmptyValue", u"", {0, 0}, "x", u"x"},
                      PlanCase{"BlanksKept", u"ab", {1, 0}, " a\n", u"a a\nb"},
                      PlanCase{
                          "AstralBeforeTheRange", u"\U0001F600ab", {2, 1}, "x", u"\U0001F600xb"},
                      PlanCase{"RangeSplitsASurrogatePair",
                               u"a\U0001F600b",
                               {2, 1},
                               "x",
                               std::u16string{u'a', char16_t(0xD83D), u'x', u'b'}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SceneTest, InsertAsksInOrderAndNothingOutlivesTheRequest) {
  const std::string token = captureToken();
  desktop.asked.clear();
  EXPECT_EQ(send(insertLine(token, R"("there")")), kInserted);
  EXPECT_EQ(desktop.asked, (std::vector<std::string>{
                               "frontmostApplication",
                               "applicationElement 42",
                               "setMessagingTimeout app:42 1.000000",
                               "copyAttributeValue app:42 AXFocusedUIElement",
                               "equal control:1 control:1",
                               "copyAttributeValue control:1 AXSubrole",
                               "copyAttributeValue control:1 AXRole",
                               "isAttributeSettable control:1 AXSelectedText",
                               "copyAttributeValue control:1 AXValue",
                               "copyAttributeValue control:1 AXSelectedTextRange",
                               "createKeyboardEvent down",
                               "createKeyboardEvent up",
                               "applicationElement 42",
                               "setMessagingTimeout app:42 1.000000",
                               "copyAttributeValue app:42 AXFocusedUIElement",
                               "equal control:1 control:1",
                               "frontmostApplication",
                               "postKeyboardEvent 42 control:1 down",
                               "postKeyboardEvent 42 control:1 up",
                               "copyAttributeValue control:1 AXValue",
                           }));
  EXPECT_EQ(desktop.liveElements(), 0);
}

}  // namespace
