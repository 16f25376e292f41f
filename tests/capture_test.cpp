// "capture": the order of its checks, what it remembers, and what it returns.
#include "operations/capture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "scene.h"
#include "text/unicode.h"

namespace {

using desktop::simulated::Fails;
using desktop::simulated::Missing;
using desktop::simulated::SimulatedDesktop;
using testing_support::kNotes;
using testing_support::maskToken;
using testing_support::repeat;
using testing_support::SceneTest;

constexpr char kRequest[] = R"({"id":"c","op":"capture"})";

struct Case {
  const char* name;
  std::function<void(SimulatedDesktop&)> arrange;
  std::string response;  // token masked
  bool holds;            // the slot holds the new target afterwards
};

std::string captured(const std::string& appName, const std::string& selectedText) {
  return R"({"id":"c","ok":true,"target":{"appName":")" + appName + R"(","selectedText":")" +
         selectedText + R"(","token":"<token>"}})";
}
std::string refused(const std::string& code) {
  return R"({"error":")" + code + R"(","id":"c","ok":false})";
}

std::vector<Case> captureCases() {
  return {
      {"Success", [](SimulatedDesktop&) {}, captured("Notes", "world"), true},
      {"NotTrusted", [](SimulatedDesktop& d) { d.trusted = false; }, refused("permission_required"),
       false},
      {"NoFrontmostApplication", [](SimulatedDesktop& d) { d.frontmost.reset(); },
       refused("unavailable"), false},
      {"FrontmostProcessGone", [](SimulatedDesktop& d) { d.frontmost = 999; },
       refused("unavailable"), false},
      {"NothingFocused", [](SimulatedDesktop& d) { d.applications[kNotes].focusedControl.reset(); },
       refused("unavailable"), false},
      {"FocusedReadFails",
       [](SimulatedDesktop& d) { d.applications[kNotes].focusedAttribute = Fails{}; },
       refused("unavailable"), false},
      {"FocusedIsNotAnElement",
       [](SimulatedDesktop& d) { d.applications[kNotes].focusedAttribute = 3.0; },
       refused("unavailable"), false},
      {"FocusedIsAString",
       [](SimulatedDesktop& d) { d.applications[kNotes].focusedAttribute = std::u16string(u"x"); },
       refused("unavailable"), false},
      {"SecureField", [](SimulatedDesktop& d) { d.controls[1].subrole = u"AXSecureTextField"; },
       refused("unsafe_input"), false},
      {"SecureSubroleInOtherCaseIsNotSecure",
       [](SimulatedDesktop& d) { d.controls[1].subrole = u"axsecuretextfield"; },
       captured("Notes", "world"), true},
      {"SubroleReadFails",
       [](SimulatedDesktop& d) { d.controls[1].attributes["AXSubrole"] = Fails{}; },
       captured("Notes", "world"), true},
      {"SubroleIsANumber", [](SimulatedDesktop& d) { d.controls[1].attributes["AXSubrole"] = 1.0; },
       captured("Notes", "world"), true},
      {"NotATextControl", [](SimulatedDesktop& d) { d.controls[1].role = u"AXButton"; },
       captured("Notes", "world"), true},
      {"SelectedTextReadFails",
       [](SimulatedDesktop& d) { d.controls[1].attributes["AXSelectedText"] = Fails{}; },
       captured("Notes", ""), true},
      {"SelectedTextMissing",
       [](SimulatedDesktop& d) { d.controls[1].attributes["AXSelectedText"] = Missing{}; },
       captured("Notes", ""), true},
      {"SelectedTextIsANumber",
       [](SimulatedDesktop& d) { d.controls[1].attributes["AXSelectedText"] = 5.0; },
       captured("Notes", ""), true},
      {"NoSelection",
       [](SimulatedDesktop& d) {
         d.controls[1].selection = {3, 0};
       },
       captured("Notes", ""), true},
      {"ApplicationWithoutName", [](SimulatedDesktop& d) { d.applications[kNotes].name.reset(); },
       captured("\xEC\x95\xB1", "world"), true},
      {"EmptyApplicationNameKept", [](SimulatedDesktop& d) { d.applications[kNotes].name = u""; },
       captured("", "world"), true},
      {"TextPassedOnAsRead",
       [](SimulatedDesktop& d) {
         d.controls[1].value = u" a/\"b\\\n\t\u00e9\U0001F600 ";
         d.controls[1].selection = {0, 12};
       },
       captured("Notes", " a\\/\\\"b\\\\\\n\\t\xC3\xA9\xF0\x9F\x98\x80 "), true},
      {"LoneSurrogateBecomesReplacement",
       [](SimulatedDesktop& d) {
         d.controls[1].attributes["AXSelectedText"] = std::u16string{u'a', char16_t(0xD83D)};
       },
       captured("Notes", "a\xEF\xBF\xBD"), true},
  };
}

class CaptureCaseTest : public SceneTest, public ::testing::WithParamInterface<Case> {};

TEST_P(CaptureCaseTest, AnswersAndLeavesTheSlot) {
  // An earlier capture is always forgotten, whatever this one answers.
  operations::target.emplace(
      operations::Target{"OLD", desktop.applicationElement(9), 9, 0, {}, {}});
  GetParam().arrange(desktop);
  EXPECT_EQ(maskToken(send(kRequest)), GetParam().response);
  ASSERT_EQ(operations::target.has_value(), GetParam().holds);
  if (GetParam().holds) {
    EXPECT_NE(operations::target->token, "OLD");
    EXPECT_EQ(operations::target->pid, kNotes);
    EXPECT_EQ(operations::target->created, desktop.wallClock);
    auto control1 =
        desktop.copyAttributeValue(*desktop.applicationElement(kNotes), "AXFocusedUIElement");
    EXPECT_TRUE(desktop.equal(*operations::target->element,
                              *std::get<desktop::ElementRef>(*control1.value)));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CaptureCaseTest, ::testing::ValuesIn(captureCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SceneTest, CaptureAsksInOrderAndFrontmostOnceOnTheMainThread) {
  captureToken();
  EXPECT_EQ(desktop.asked, (std::vector<std::string>{
                               "isProcessTrustedWithPrompt",
                               "frontmostApplication",
                               "applicationElement 42",
                               "setMessagingTimeout app:42 1.000000",
                               "copyAttributeValue app:42 AXFocusedUIElement",
                               "copyAttributeValue control:1 AXSubrole",
                               "copyAttributeValue control:1 AXSelectedText",
                               "copyAttributeValue control:1 AXSelectedTextRange",
                           }));
}

TEST_F(SceneTest, APromptThatGrantsAccessLetsTheNextCaptureThrough) {
  desktop.trusted = false;
  desktop.promptGrants = true;
  EXPECT_EQ(send(kRequest), R"({"error":"permission_required","id":"c","ok":false})");
  EXPECT_EQ(desktop.prompts, 1);
  EXPECT_FALSE(captureToken().empty());
}

TEST_F(SceneTest, EveryCaptureMakesANewTokenAndOnlyTheLatestIsHeld) {
  const std::string first = captureToken();
  const std::string second = captureToken();
  EXPECT_NE(first, second);
  EXPECT_EQ(operations::target->token, second);
  EXPECT_EQ(send(insertLine(first, R"("x")")), R"({"error":"target_changed","id":"i","ok":false})");
}

struct CutCase {
  const char* name;
  std::u16string selected;
  std::u16string returned;
};

class SelectedTextCutTest : public SceneTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(SelectedTextCutTest, KeepsTheFirst30000Clusters) {
  desktop.controls[1].attributes["AXSelectedText"] = GetParam().selected;
  const auto response = operations::JsonObject::parse(send(kRequest));
  const std::string selected = response["target"]["selectedText"];
  // Compared whole, reported short: these texts run to a million units.
  EXPECT_TRUE(selected == text::toUtf8(GetParam().returned))
      << "returned " << selected.size() << " bytes, expected "
      << text::toUtf8(GetParam().returned).size();
}

const std::u16string kFamily = u"\U0001F468\u200D\U0001F469\u200D\U0001F467";

INSTANTIATE_TEST_SUITE_P(
    Cases, SelectedTextCutTest,
    ::testing::Values(CutCase{"Exactly30000", repeat(u"a", 30000), repeat(u"a", 30000)},
                      CutCase{"OneMore", repeat(u"a", 30001), repeat(u"a", 30000)},
                      CutCase{"SurrogatePairsCountOnce", repeat(u"\U0001F600", 30001),
                              repeat(u"\U0001F600", 30000)},
                      CutCase{"ZwjEmojiIsOneCluster", repeat(u"a", 29999) + kFamily + u"b",
                              repeat(u"a", 29999) + kFamily},
                      CutCase{"CombiningMarksStayWithTheirBase", repeat(u"e\u0301", 30001),
                              repeat(u"e\u0301", 30000)},
                      CutCase{"CrLfIsOneCluster", repeat(u"\r\n", 30001), repeat(u"\r\n", 30000)},
                      CutCase{"MillionUnits", repeat(u"ab", 500000), repeat(u"ab", 15000)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TokenTest, IsAnUpperCaseVersion4Uuid) {
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const auto token = operations::newToken();
    ASSERT_TRUE(token);
    EXPECT_TRUE(std::regex_match(*token, form)) << *token;
    seen.insert(*token);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
