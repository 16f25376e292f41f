// The typing scheduler: which characters go in one batch, which texts keys can type at all, and
// the job that types batch after batch only while the control holds the focus and shows what the
// earlier batches should have made of it.
#include "desktop/typing.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using desktop::typing::Batch;
using desktop::typing::nextBatch;
using desktop::typing::TypingJob;
using namespace std::chrono_literals;
using End = TypingJob::End;

bool asciiHasKey(char32_t c) { return c < 0x80; }

struct BatchCase {
  const char* name;
  std::u32string text;
  std::size_t from;
  std::size_t spareKeys;
  std::size_t maxLength;
  std::size_t length;
  std::u32string bound;
};

class NextBatchTest : public ::testing::TestWithParam<BatchCase> {};

TEST_P(NextBatchTest, TakesTheLongestRunTheKeysAllow) {
  const BatchCase& c = GetParam();
  const Batch batch = nextBatch(c.text, c.from, asciiHasKey, c.spareKeys, c.maxLength);
  EXPECT_EQ(batch.length, c.length);
  EXPECT_EQ(std::u32string(batch.bound.begin(), batch.bound.end()), c.bound);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NextBatchTest,
    ::testing::Values(BatchCase{"OwnKeysUpToTheLength", U"abcdefgh", 0, 0, 5, 5, U""},
                      BatchCase{"TheRestOfTheText", U"abcdefgh", 6, 0, 5, 2, U""},
                      BatchCase{"EachUnmappedCharacterBoundOnce", U"\u00e9a\u00e9b\u4e2d\u00e9", 0,
                                2, 32, 6, U"\u00e9\u4e2d"},
                      BatchCase{"StopsBeforeTheFirstCharacterThatDoesNotFit",
                                U"\u00e9\u00e8\u00ea\u00eb", 0, 3, 32, 3, U"\u00e9\u00e8\u00ea"},
                      BatchCase{"ABoundCharacterAgainStillFits", U"\u00e9\u00e8\u00e9x\u00ea", 0, 2,
                                32, 4, U"\u00e9\u00e8"},
                      BatchCase{"NoSpareKeyForTheNextCharacter", U"\u00e9abc", 0, 0, 32, 0, U""},
                      BatchCase{"AtTheEnd", U"abc", 3, 4, 32, 0, U""}),
    [](const auto& info) { return std::string(info.param.name); });

struct TypeableCase {
  const char* name;
  std::u32string text;
  bool multiLine;
  bool typeable;
};

class TypeableTest : public ::testing::TestWithParam<TypeableCase> {};

TEST_P(TypeableTest, RefusesWhatKeysWouldTurnIntoEditing) {
  EXPECT_EQ(desktop::typing::typeable(GetParam().text, GetParam().multiLine), GetParam().typeable);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TypeableTest,
    ::testing::Values(TypeableCase{"PlainText", U"Z\u00fcrich \u4e2d \U0001F600", false, true},
                      TypeableCase{"LineBreakInOneLine", U"a\nb", false, false},
                      TypeableCase{"LineBreakInSeveralLines", U"a\nb", true, true},
                      TypeableCase{"CarriageReturn", U"a\rb", true, false},
                      TypeableCase{"Tab", U"a\tb", true, false},
                      TypeableCase{"Backspace", U"a\bb", true, false},
                      TypeableCase{"Escape", U"a\x1b", true, false},
                      TypeableCase{"Delete", U"a\x7f", true, false},
                      TypeableCase{"C1Control", U"a\u0085", true, false},
                      TypeableCase{"LineSeparatorIsText", U"a\u2028b", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A desktop for one job: the control shows what was pressed while the focus holds, unless a row
// says otherwise; every call is logged.
class FakeHost : public desktop::typing::TypingHost {
 public:
  std::size_t spare = 2;
  std::function<bool(std::size_t step)> holdsFocus = [](std::size_t) { return true; };
  std::function<bool(std::size_t step)> keysDown = [](std::size_t) { return false; };
  bool controlTakesKeys = true;
  std::size_t shown = 0;  // characters the control shows
  std::size_t steps = 0;
  std::vector<std::string> log;

  bool hasOwnKey(char32_t c) override { return c < 0x80; }
  std::size_t spareKeys() override { return spare; }
  bool keysHeld() override { return keysDown(steps); }
  bool focusHolds() override { return holdsFocus(steps); }
  bool shows(std::size_t typed) override { return typed == shown; }
  bool press(const Batch& batch, std::u32string_view characters) override {
    log.push_back("press " + std::to_string(characters.size()) + " bind " +
                  std::to_string(batch.bound.size()));
    if (controlTakesKeys) shown += characters.size();
    return true;
  }
  void restore() override { log.push_back("restore"); }
};

// Runs the job as its backend would, on a clock that moves by the waits it asks for; gives the
// time it took.
std::chrono::nanoseconds run(TypingJob& job, FakeHost& host) {
  std::chrono::nanoseconds now{0};
  for (int i = 0; i < 100000; ++i) {
    const auto wait = job.step(now);
    ++host.steps;
    if (!wait) return now;
    now += *wait;
  }
  ADD_FAILURE() << "the job never ended";
  return now;
}

struct JobCase {
  const char* name;
  std::u32string text;
  std::function<void(FakeHost&)> arrange;
  End end;
  std::size_t typed;
  std::vector<std::string> log;
};

class TypingJobTest : public ::testing::TestWithParam<JobCase> {};

TEST_P(TypingJobTest, TypesOnlyWhileTheControlHoldsTheFocus) {
  FakeHost host;
  GetParam().arrange(host);
  TypingJob job(GetParam().text, host);
  run(job, host);
  EXPECT_EQ(job.end(), GetParam().end);
  EXPECT_EQ(job.typed(), GetParam().typed);
  EXPECT_EQ(host.log, GetParam().log);
}

const std::u32string k70(70, U'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, TypingJobTest,
    ::testing::Values(
        JobCase{"SmallBatchesEachTakenBeforeTheNext",
                k70,
                [](FakeHost&) {},
                End::kDone,
                70,
                {"press 32 bind 0", "press 32 bind 0", "press 6 bind 0", "restore"}},
        JobCase{"BindingsLimitABatch",
                U"\u00e9\u00e8\u00ea\u00e9",
                [](FakeHost&) {},
                End::kDone,
                4,
                {"press 2 bind 2", "press 2 bind 2", "restore"}},
        JobCase{"NoKeyForACharacter",
                U"ab\u00e9",
                [](FakeHost& h) { h.spare = 0; },
                End::kCannotPress,
                2,
                {"press 2 bind 0", "restore"}},
        JobCase{"FocusLostBeforeTheFirstBatch",
                k70,
                [](FakeHost& h) { h.holdsFocus = [](std::size_t) { return false; }; },
                End::kFocusLost,
                0,
                {"restore"}},
        JobCase{"FocusLostAfterTheFirstBatch",
                k70,
                [](FakeHost& h) { h.holdsFocus = [](std::size_t step) { return step == 0; }; },
                End::kFocusLost,
                32,
                {"press 32 bind 0", "restore"}},
        JobCase{"ControlDoesNotShowTheBatch",
                k70,
                [](FakeHost& h) { h.controlTakesKeys = false; },
                End::kStalled,
                0,
                {"press 32 bind 0", "restore"}},
        JobCase{"ControlShowsSomethingElseBeforehand",
                k70,
                [](FakeHost& h) { h.shown = 3; },
                End::kFocusLost,
                0,
                {"restore"}},
        JobCase{"KeysHeldBrieflyAreWaitedFor",
                k70,
                [](FakeHost& h) { h.keysDown = [](std::size_t step) { return step < 10; }; },
                End::kDone,
                70,
                {"press 32 bind 0", "press 32 bind 0", "press 6 bind 0", "restore"}},
        JobCase{"KeysHeldForeverAreNotTypedThrough",
                k70,
                [](FakeHost& h) { h.keysDown = [](std::size_t) { return true; }; },
                End::kKeysHeld,
                0,
                {"restore"}},
        JobCase{"KeysPressedMidwayStopTheJob",
                k70,
                [](FakeHost& h) { h.keysDown = [](std::size_t step) { return step >= 1; }; },
                End::kKeysHeld,
                32,
                {"press 32 bind 0", "restore"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TypingJobTimeTest, WaitsAreBounded) {
  FakeHost host;
  host.controlTakesKeys = false;
  TypingJob stalled(k70, host);
  EXPECT_EQ(run(stalled, host), desktop::typing::kStall);
  FakeHost held;
  held.keysDown = [](std::size_t) { return true; };
  TypingJob waiting(k70, held);
  EXPECT_EQ(run(waiting, held), desktop::typing::kKeysHeldWait);
}

TEST(TypingJobTimeTest, KeysOnTheirWayAreSeenArriving) {
  FakeHost host;
  host.controlTakesKeys = false;
  TypingJob job(k70, host);
  EXPECT_FALSE(job.batchInFlight());
  ASSERT_TRUE(job.step(0ns));
  EXPECT_TRUE(job.batchInFlight());
  host.shown = 32;  // the application took them
  EXPECT_FALSE(job.batchInFlight());
  EXPECT_EQ(job.typed(), 32u);
}

TEST(TypingJobTimeTest, StopEndsAtOnceAndRestoresOnce) {
  FakeHost host;
  TypingJob job(k70, host);
  ASSERT_TRUE(job.step(0ns));
  job.stop();
  job.stop();
  EXPECT_EQ(job.end(), End::kStopped);
  EXPECT_FALSE(job.step(1s));
  EXPECT_EQ(host.log, (std::vector<std::string>{"press 32 bind 0", "restore"}));
}

}  // namespace
