// The wire format through handleLine: framing, limits, the id, dispatch, serialisation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "service/json_writer.h"

namespace {

using testing_support::DesktopTest;
using testing_support::repeat;

constexpr char kDefault[] = R"({"error":"invalid_request","id":"","ok":false})";

struct Case {
  const char* name;
  std::string line;
  std::string response;
};

// A "release" request padded with an ignored key to exactly `bytes` bytes.
std::string releaseOfSize(std::size_t bytes, const std::string& padding = "a") {
  const std::string head = R"({"id":"big","op":"release","pad":")";
  const std::string tail = R"("})";
  std::string line = head + repeat(padding, (bytes - head.size() - tail.size()) / padding.size());
  line.append(bytes - line.size() - tail.size(), 'a');
  return line + tail;
}

std::vector<Case> protocolCases() {
  return {
      {"NotJson", "hello", kDefault},
      {"Permissions", R"({"op":"permissions","id":"q-1"})",
       R"({"accessibility":true,"id":"q-1","ok":true})"},
      {"ReleaseSlashEscaped", R"({"id":"a/b","op":"release"})", R"({"id":"a\/b","ok":true})"},
      {"NoOp", R"({"id":"q-2"})", R"({"error":"invalid_request","id":"q-2","ok":false})"},
      {"EmptyLine", "", kDefault},
      {"Blanks", "   \t ", kDefault},
      {"EmptyArray", "[]", kDefault},
      {"ArrayOfRequest", R"([{"id":"x","op":"release"}])", kDefault},
      {"TopLevelString", R"("x")", kDefault},
      {"TopLevelNumber", "42", kDefault},
      {"TopLevelNull", "null", kDefault},
      {"Unterminated", R"({"id":"x")", kDefault},
      {"TextAfterObject", R"({"id":"x","op":"release"} x)", kDefault},
      {"TwoObjects", R"({"id":"x","op":"release"}{})", kDefault},
      {"Comment", R"({"id":"x","op":"release"} // c)", kDefault},
      {"TrailingComma", R"({"id":"x","op":"release",})", kDefault},
      {"SingleQuotes", R"({'id':'x','op':'release'})", kDefault},
      {"WhitespaceAround", " \t{\"id\":\"x\",\"op\":\"release\"}\t ", R"({"id":"x","ok":true})"},
      {"EmptyObject", "{}", kDefault},
      {"NoId", R"({"op":"permissions"})", kDefault},
      {"IdNumber", R"({"id":7,"op":"release"})", kDefault},
      {"IdNull", R"({"id":null,"op":"release"})", kDefault},
      {"IdTrue", R"({"id":true,"op":"release"})", kDefault},
      {"IdArray", R"({"id":["x"],"op":"release"})", kDefault},
      {"IdObject", R"({"id":{},"op":"release"})", kDefault},
      {"EmptyId", R"({"id":"","op":"release"})", R"({"id":"","ok":true})"},
      {"Id100Ascii", R"({"op":"release","id":")" + repeat("a", 100) + "\"}",
       R"({"id":")" + repeat("a", 100) + R"(","ok":true})"},
      {"Id101Ascii", R"({"op":"release","id":")" + repeat("a", 101) + "\"}", kDefault},
      {"Id100Flags", R"({"op":"release","id":")" + repeat("\U0001F1EB\U0001F1F7", 100) + "\"}",
       R"({"id":")" + repeat("\U0001F1EB\U0001F1F7", 100) + R"(","ok":true})"},
      {"Id101Flags", R"({"op":"release","id":")" + repeat("\U0001F1EB\U0001F1F7", 101) + "\"}",
       kDefault},
      {"Id100Combining", R"({"op":"release","id":")" + repeat("e\u0301", 100) + "\"}",
       R"({"id":")" + repeat("e\u0301", 100) + R"(","ok":true})"},
      {"Id101Combining", R"({"op":"release","id":")" + repeat("e\u0301", 101) + "\"}", kDefault},
      {"IdZwjFamilies100",
       R"({"op":"release","id":")" + repeat("\U0001F468\u200D\U0001F469\u200D\U0001F467", 100) +
           "\"}",
       R"({"id":")" + repeat("\U0001F468\u200D\U0001F469\u200D\U0001F467", 100) +
           R"(","ok":true})"},
      {"IdUnicodeEscapeComesBackRaw", R"({"id":"caf\u00e9 \u2603","op":"release"})",
       "{\"id\":\"caf\u00e9 \u2603\",\"ok\":true}"},
      {"IdControlCharactersEscaped", R"({"id":"a\nb\tc\u0001\"\\","op":"release"})",
       R"({"id":"a\nb\tc\u0001\"\\","ok":true})"},
      {"IdLineSeparatorRaw", "{\"id\":\"\u2028\",\"op\":\"release\"}",
       "{\"id\":\"\u2028\",\"ok\":true}"},
      {"IdEscapedPair", R"({"id":"\ud83d\ude00","op":"release"})",
       "{\"id\":\"\U0001F600\",\"ok\":true}"},
      {"IdEscapedLoneHighSurrogate", R"({"id":"\ud800","op":"release"})", kDefault},
      {"IdEscapedLoneLowSurrogate", R"({"id":"\udc00x","op":"release"})", kDefault},
      {"IdReplacementCharacter", "{\"id\":\"\xEF\xBF\xBD\",\"op\":\"release\"}",
       "{\"id\":\"\xEF\xBF\xBD\",\"ok\":true}"},
      {"UnknownKeysIgnored", R"({"id":"k","op":"release","zzz":[1,{"a":null}],"token":5})",
       R"({"id":"k","ok":true})"},
      {"DuplicateIdLastWins", R"({"id":"first","id":"second","op":"release"})",
       R"({"id":"second","ok":true})"},
      {"OpNumber", R"({"id":"o","op":1})", R"({"error":"invalid_request","id":"o","ok":false})"},
      {"OpNull", R"({"id":"o","op":null})", R"({"error":"invalid_request","id":"o","ok":false})"},
      {"OpArray", R"({"id":"o","op":["release"]})",
       R"({"error":"invalid_request","id":"o","ok":false})"},
      {"OpObject", R"({"id":"o","op":{}})", R"({"error":"invalid_request","id":"o","ok":false})"},
      {"OpUpperCase", R"({"id":"o","op":"RELEASE"})",
       R"({"error":"invalid_request","id":"o","ok":false})"},
      {"OpTrailingBlank", R"({"id":"o","op":"release "})",
       R"({"error":"invalid_request","id":"o","ok":false})"},
      {"OpLeadingBlank", R"({"id":"o","op":" permissions"})",
       R"({"error":"invalid_request","id":"o","ok":false})"},
      {"OpUnknown", R"({"id":"o","op":"paste"})",
       R"({"error":"invalid_request","id":"o","ok":false})"},
      {"OpEmpty", R"({"id":"o","op":""})", R"({"error":"invalid_request","id":"o","ok":false})"},
      {"NumberOutOfRange", R"({"id":"n","op":"release","x":1e400})", kDefault},
      {"DeepNesting",
       R"({"id":"d","op":"release","x":)" + repeat("[", 100000) + repeat("]", 100000) + "}",
       R"({"id":"d","ok":true})"},
      {"DeepNestingUnclosed", repeat("[", 200000), kDefault},
      {"Exactly250000Bytes", releaseOfSize(250000), R"({"id":"big","ok":true})"},
      {"Bytes250001", releaseOfSize(250001), kDefault},
      // 83334 three-byte characters: far fewer than 250000 characters, but too many bytes.
      {"Bytes250001FewCharacters", releaseOfSize(250001, "\u20AC"), kDefault},
      {"Exactly250000BytesMultibyte", releaseOfSize(250000, "\u20AC"), R"({"id":"big","ok":true})"},
  };
}

class ProtocolTest : public DesktopTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ProtocolTest, AnswersWithExactlyThisLine) {
  EXPECT_EQ(send(GetParam().line), GetParam().response);
}

INSTANTIATE_TEST_SUITE_P(Lines, ProtocolTest, ::testing::ValuesIn(protocolCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DesktopTest, PermissionsReportsTrustWithoutPromptingOrTouchingTheSlot) {
  desktop.trusted = false;
  desktop.promptGrants = true;
  EXPECT_EQ(send(R"({"id":"p","op":"permissions"})"),
            R"({"accessibility":false,"id":"p","ok":true})");
  EXPECT_EQ(desktop.prompts, 0);
  EXPECT_EQ(desktop.asked, std::vector<std::string>{"isProcessTrusted"});
}

TEST_F(DesktopTest, RefusedLinesNeverReachTheDesktop) {
  for (const char* line : {"", "[]", R"({"id":7,"op":"permissions"})", R"({"op":"permissions"})"}) {
    EXPECT_EQ(send(line), kDefault) << line;
  }
  EXPECT_TRUE(desktop.asked.empty());
}

TEST_F(DesktopTest, ReleaseEmptiesTheSlotAndSucceedsWhenEmpty) {
  operations::target.emplace(operations::Target{"T", desktop.applicationElement(1), 1, 0, {}, {}});
  EXPECT_EQ(send(R"({"id":"r1","op":"release"})"), R"({"id":"r1","ok":true})");
  EXPECT_FALSE(operations::target.has_value());
  EXPECT_EQ(send(R"({"id":"r2","op":"release"})"), R"({"id":"r2","ok":true})");
}

TEST_F(DesktopTest, RefusedOpsAndPermissionsLeaveTheSlotAsItWas) {
  operations::target.emplace(operations::Target{"T", desktop.applicationElement(1), 1, 0, {}, {}});
  for (const char* line : {R"({"id":"a","op":"Release"})", R"({"id":"b","op":7})",
                           R"({"id":"c","op":"permissions"})", R"({"id":7,"op":"release"})"}) {
    send(line);
    EXPECT_TRUE(operations::target.has_value()) << line;
  }
}

TEST_F(DesktopTest, SameIdTwiceIsPerformedTwice) {
  EXPECT_EQ(send(R"({"id":"same","op":"release"})"), R"({"id":"same","ok":true})");
  EXPECT_EQ(send(R"({"id":"same","op":"permissions"})"),
            R"({"accessibility":true,"id":"same","ok":true})");
}

TEST(JsonWriterTest, AnIllFormedStringCannotMakeAnUnwritableResponse) {
  const operations::JsonObject response = {
      {"ok", true}, {"id", "a\xFF\xC3"}, {"k/", {{"z", "\x7F"}}}};
  EXPECT_EQ(service::serialize(response),
            "{\"id\":\"a\xEF\xBF\xBD\xEF\xBF\xBD\",\"k\\/\":{\"z\":\"\x7F\"},\"ok\":true}");
}

TEST(PerformTest, AnEmptyRequestIsRefused) {
  desktop::simulated::SimulatedDesktop desktop;
  EXPECT_EQ(operations::perform(desktop, operations::JsonObject::object()),
            operations::refusal("invalid_request"));
}

}  // namespace
