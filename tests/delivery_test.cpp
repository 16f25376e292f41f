// "insert", its delivery: one key press carrying the whole text, the re-checks before it is
// posted, and the read-back that confirms it on the monotonic clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "scene.h"
#include "text/unicode.h"

namespace {

using desktop::simulated::SimulatedDesktop;
using testing_support::kNotes;
using testing_support::kOther;
using testing_support::SceneTest;

constexpr char kInserted[] = R"({"id":"i","inserted":true,"ok":true})";
constexpr char kSent[] = R"({"id":"i","inputSent":true,"inserted":false,"ok":true})";
constexpr char kChanged[] = R"({"error":"target_changed","id":"i","ok":false})";
constexpr char kUnsafe[] = R"({"error":"unsafe_input","id":"i","ok":false})";

int countAsked(const SimulatedDesktop& d, const std::string& entry) {
  return static_cast<int>(std::count(d.asked.begin(), d.asked.end(), entry));
}

// How the application takes the text, and what the insert answers.
struct Case {
  const char* name;
  std::function<void(SimulatedDesktop&)> behave;
  std::string response;
  int valueReads;  // reads of the value after posting
  int pauses;
};

std::vector<Case> confirmationCases() {
  return {
      {"AppliedAtOnce", [](SimulatedDesktop&) {}, kInserted, 1, 0},
      {"AppliedAfterThreeReads",
       [](SimulatedDesktop& d) { d.applications[kNotes].applyAfterReads = 3; }, kInserted, 4, 3},
      {"AppliedOnTheTenthRead",
       [](SimulatedDesktop& d) { d.applications[kNotes].applyAfterReads = 9; }, kInserted, 10, 9},
      {"TooLateForTenReads",
       [](SimulatedDesktop& d) { d.applications[kNotes].applyAfterReads = 10; }, kSent, 10, 10},
      {"NeverApplied", [](SimulatedDesktop& d) { d.applications[kNotes].applyAfterReads = -1; },
       kSent, 10, 10},
      {"AppliedInPart", [](SimulatedDesktop& d) { d.applications[kNotes].applyUnits = 3; }, kSent,
       10, 10},
      {"ReadsFailUntilApplied",
       [](SimulatedDesktop& d) {
         d.applications[kNotes].applyAfterReads = 4;
         d.applications[kNotes].readsFailUntilApplied = true;
       },
       kInserted, 5, 4},
      {"ReadsFailForTheWholeWindow",
       [](SimulatedDesktop& d) {
         d.applications[kNotes].applyAfterReads = 20;
         d.applications[kNotes].readsFailUntilApplied = true;
       },
       kSent, 10, 10},
  };
}

class ConfirmationTest : public SceneTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ConfirmationTest, ReadsBackForHalfASecond) {
  const std::string token = captureToken();
  GetParam().behave(desktop);
  desktop.asked.clear();
  const auto started = desktop.monotonic;
  EXPECT_EQ(send(insertLine(token, R"("there")")), GetParam().response);

  const auto posted =
      std::find(desktop.asked.begin(), desktop.asked.end(), "postKeyboardEvent 42 control:1 up");
  ASSERT_NE(posted, desktop.asked.end());
  const auto readsAfter =
      std::count(posted, desktop.asked.end(), std::string("copyAttributeValue control:1 AXValue"));
  EXPECT_EQ(readsAfter, GetParam().valueReads);
  EXPECT_EQ(countAsked(desktop, "pause 50000000"), GetParam().pauses);
  if (GetParam().response == kSent) {
    // No sooner than half a second after posting, and no later than one pause past it.
    EXPECT_EQ(desktop.monotonic - started, std::chrono::milliseconds(500));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfirmationTest, ::testing::ValuesIn(confirmationCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SceneTest, TheKeyPressCarriesTheWholeTextAsCodeUnits) {
  for (const std::string& textJson : {std::string(R"(" a\n")"), std::string("\"\U0001F600\""),
                                      std::string("\"e\u0301\u00e9\"")}) {
    SCOPED_TRACE(textJson);
    desktop.posted.clear();
    const std::string token = captureToken();
    EXPECT_EQ(send(insertLine(token, textJson)), kInserted);
    ASSERT_EQ(desktop.posted.size(), 2u);
    const auto& down = desktop.posted[0];
    const auto& up = desktop.posted[1];
    EXPECT_EQ(down.pid, kNotes);
    EXPECT_TRUE(down.event.keyDown);
    EXPECT_EQ(down.event.virtualKey, 0);
    EXPECT_EQ(down.event.flags, 0u);
    EXPECT_TRUE(down.event.text ==
                text::toUtf16(operations::JsonObject::parse(textJson).get<std::string>()));
    EXPECT_EQ(up.pid, kNotes);
    EXPECT_FALSE(up.event.keyDown);
    EXPECT_EQ(up.event.flags, 0u);
    EXPECT_TRUE(up.event.text.empty());
  }
  EXPECT_EQ(desktop.posted[0].event.text.size(), 3u);  // e, U+0301, U+00E9
}

TEST_F(SceneTest, ThirtyThousandAstralUnitsTravelInOneKeyPress) {
  const std::string token = captureToken();
  std::string emoji;
  for (int i = 0; i < 15000; ++i) emoji += "\U0001F600";
  EXPECT_EQ(send(insertLine(token, "\"" + emoji + "\"")), kInserted);
  ASSERT_EQ(desktop.posted.size(), 2u);
  EXPECT_EQ(desktop.posted[0].event.text.size(), 30000u);
}

struct NothingPostedCase {
  const char* name;
  std::function<void(SimulatedDesktop&)> arrange;
  std::string textJson;
};

class AlreadyThereTest : public SceneTest,
                         public ::testing::WithParamInterface<NothingPostedCase> {};

TEST_P(AlreadyThereTest, ConfirmsWithoutPosting) {
  GetParam().arrange(desktop);
  const std::string token = captureToken();
  EXPECT_EQ(send(insertLine(token, GetParam().textJson)), kInserted);
  EXPECT_TRUE(desktop.posted.empty());
  // The re-checks still ran.
  EXPECT_EQ(countAsked(desktop, "frontmostApplication"), 3);
}

INSTANTIATE_TEST_SUITE_P(Cases, AlreadyThereTest,
                         ::testing::Values(NothingPostedCase{"SelectionHoldsTheText",
                                                             [](SimulatedDesktop&) {},
                                                             R"("world")"},
                                           NothingPostedCase{"CanonicallyEquivalent",
                                                             [](SimulatedDesktop& d) {
                                                               d.controls[1].value = u"caf\u00e9";
                                                               d.controls[1].selection = {3, 1};
                                                             },
                                                             R"("e\u0301")"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Faults of single calls, from wrappers around the simulated desktop.

class NoKeyboardEvent : public desktop::DesktopWrapper {
 public:
  NoKeyboardEvent(desktop::Desktop& target, bool failDown)
      : DesktopWrapper(target), failDown_(failDown) {}
  std::optional<desktop::KeyboardEvent> createKeyboardEvent(uint16_t key, bool keyDown) override {
    auto event = DesktopWrapper::createKeyboardEvent(key, keyDown);
    if (keyDown == failDown_) return std::nullopt;
    return event;
  }

 private:
  bool failDown_;
};

TEST_F(SceneTest, AKeyboardEventThatCannotBeCreatedIsUnsafe) {
  for (const bool failDown : {true, false}) {
    NoKeyboardEvent faulty(desktop, failDown);
    const std::string token = captureToken();
    desktop.asked.clear();
    EXPECT_EQ(send(faulty, insertLine(token, R"("there")")), kUnsafe);
    EXPECT_TRUE(desktop.posted.empty());
    EXPECT_EQ(countAsked(desktop, "frontmostApplication"), 1) << "no re-check after the failure";
    EXPECT_FALSE(operations::target.has_value());
  }
}

// Changes the desktop while the key press is being built: after the checks, before the re-checks.
class ChangesWhileBuilding : public desktop::DesktopWrapper {
 public:
  ChangesWhileBuilding(SimulatedDesktop& target, std::function<void(SimulatedDesktop&)> change)
      : DesktopWrapper(target), sim_(target), change_(std::move(change)) {}
  std::optional<desktop::KeyboardEvent> createKeyboardEvent(uint16_t key, bool keyDown) override {
    if (!keyDown) change_(sim_);
    return DesktopWrapper::createKeyboardEvent(key, keyDown);
  }

 private:
  SimulatedDesktop& sim_;
  std::function<void(SimulatedDesktop&)> change_;
};

struct RecheckCase {
  const char* name;
  std::function<void(SimulatedDesktop&)> change;
};

class RecheckTest : public SceneTest, public ::testing::WithParamInterface<RecheckCase> {};

TEST_P(RecheckTest, NothingIsPostedWhenTheTargetMovedAway) {
  ChangesWhileBuilding changing(desktop, GetParam().change);
  const std::string token = captureToken();
  EXPECT_EQ(send(changing, insertLine(token, R"("there")")), kChanged);
  EXPECT_TRUE(desktop.posted.empty());
  EXPECT_TRUE(desktop.controls[1].value == u"Hello world");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecheckTest,
    ::testing::Values(
        RecheckCase{"FocusMoved",
                    [](SimulatedDesktop& d) { d.applications[kNotes].focusedControl = 2; }},
        RecheckCase{"FocusGone",
                    [](SimulatedDesktop& d) { d.applications[kNotes].focusedControl.reset(); }},
        RecheckCase{"OtherApplicationInFront", [](SimulatedDesktop& d) { d.frontmost = kOther; }},
        RecheckCase{"NoApplicationInFront", [](SimulatedDesktop& d) { d.frontmost.reset(); }}),
    [](const auto& info) { return std::string(info.param.name); });

// Sets the wall clock back an hour at every pause.
class ClockGoesBack : public desktop::DesktopWrapper {
 public:
  explicit ClockGoesBack(SimulatedDesktop& target) : DesktopWrapper(target), sim_(target) {}
  void pause(std::chrono::nanoseconds duration) override {
    DesktopWrapper::pause(duration);
    sim_.wallClock -= 3600;
  }

 private:
  SimulatedDesktop& sim_;
};

TEST_F(SceneTest, AWallClockSetBackDoesNotStretchTheWindow) {
  ClockGoesBack clock(desktop);
  desktop.applications[kNotes].applyAfterReads = -1;
  const std::string token = captureToken();
  EXPECT_EQ(send(clock, insertLine(token, R"("there")")), kSent);
  EXPECT_EQ(countAsked(desktop, "pause 50000000"), 10);
}

// Records the thread that asks for the frontmost application.
class FrontmostThread : public desktop::DesktopWrapper {
 public:
  using DesktopWrapper::DesktopWrapper;
  std::optional<desktop::RunningApplication> frontmostApplication() override {
    threads.push_back(std::this_thread::get_id());
    return DesktopWrapper::frontmostApplication();
  }
  std::vector<std::thread::id> threads;
};

TEST_F(SceneTest, TheFrontmostApplicationIsAskedOnTheMainThread) {
  FrontmostThread recording(desktop);
  std::string token;
  testing_support::maskToken(send(recording, R"({"id":"c","op":"capture"})"), &token);
  EXPECT_EQ(send(recording, insertLine(token, R"("there")")), kInserted);
  ASSERT_EQ(recording.threads.size(), 3u);
  for (const auto& id : recording.threads) EXPECT_NE(id, std::this_thread::get_id());
}

// An application that writes the text in its composed form.
class ComposingApplication : public desktop::DesktopWrapper {
 public:
  using DesktopWrapper::DesktopWrapper;
  desktop::PostResult postKeyboardEvent(desktop::Pid pid, const desktop::PostTarget& into,
                                        const desktop::KeyboardEvent& event) override {
    desktop::KeyboardEvent composed = event;
    if (composed.text == u"e\u0301") composed.text = u"\u00e9";
    return DesktopWrapper::postKeyboardEvent(pid, into, composed);
  }
};

TEST_F(SceneTest, AValueCanonicallyEqualToTheExpectedOneConfirms) {
  ComposingApplication composing(desktop);
  const std::string token = captureToken();
  EXPECT_EQ(send(composing, insertLine(token, R"("e\u0301")")), kInserted);
  EXPECT_TRUE(desktop.controls[1].value == u"Hello \u00e9");
}

TEST_F(SceneTest, EveryOutcomeUsesTheCaptureUp) {
  for (const int applyAfterReads : {0, -1}) {
    desktop.applications[kNotes].applyAfterReads = applyAfterReads;
    const std::string token = captureToken();
    send(insertLine(token, R"("x")"));
    EXPECT_EQ(send(insertLine(token, R"("x")")), kChanged);
  }
}

}  // namespace
