// The Unicode answers the protocol and the operations rely on.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "text/unicode.h"

namespace {

struct Utf8Case {
  const char* name;
  std::string in;
  std::string out;
};

class WellFormedUtf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(WellFormedUtf8Test, ReplacesEachIllFormedSequence) {
  EXPECT_EQ(text::wellFormedUtf8(GetParam().in), GetParam().out);
  EXPECT_EQ(text::isWellFormedUtf8(GetParam().in), GetParam().in == GetParam().out);
}

const std::string kFffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Cases, WellFormedUtf8Test,
    ::testing::Values(Utf8Case{"Ascii", "abc", "abc"}, Utf8Case{"Empty", "", ""},
                      Utf8Case{"Multibyte", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                               "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
                      Utf8Case{"LoneContinuation", "a\x80z", "a" + kFffd + "z"},
                      Utf8Case{"TruncatedAtEnd", "a\xE2\x82", "a" + kFffd},
                      Utf8Case{"TruncatedInside", "\xE2\x82z", kFffd + "z"},
                      Utf8Case{"Overlong", "\xC0\xAF", kFffd + kFffd},
                      Utf8Case{"EncodedSurrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd},
                      Utf8Case{"BeyondUnicode", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
                      Utf8Case{"Ff", "\xFF", kFffd},
                      Utf8Case{"NulKept", std::string("a\0b", 3), std::string("a\0b", 3)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextTest, Utf16RoundTripsAndLoneSurrogatesBecomeReplacement) {
  EXPECT_EQ(text::toUtf16("a\xF0\x9F\x98\x80"), std::u16string(u"a\U0001F600"));
  EXPECT_EQ(text::toUtf8(u"caf\u00e9 \U0001F600"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  const std::u16string lone{u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
  EXPECT_EQ(text::toUtf8(lone), "a" + kFffd + "b" + kFffd);
}

TEST(TextTest, GraphemeCountStopsAtTheLimit) {
  EXPECT_EQ(text::countGraphemes("", 101), 0u);
  EXPECT_EQ(text::countGraphemes("abc", 101), 3u);
  EXPECT_EQ(text::countGraphemes("e\xCC\x81", 101), 1u);
  EXPECT_EQ(text::countGraphemes("\r\n", 101), 1u);
  // Family emoji: three people joined by zero-width joiners.
  EXPECT_EQ(text::countGraphemes("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F"
                                 "\x91\xA7",
                                 101),
            1u);
  EXPECT_EQ(text::countGraphemes(std::string(5000000, 'x'), 101), 101u);
}

TEST(TextTest, FirstGraphemesNeverSplitsACluster) {
  const std::u16string family = u"\U0001F468\u200D\U0001F469\u200D\U0001F467";
  EXPECT_EQ(text::firstGraphemes(family + u"ab", 1), family);
  EXPECT_EQ(text::firstGraphemes(u"e\u0301x", 1), std::u16string_view(u"e\u0301"));
  EXPECT_EQ(text::firstGraphemes(u"ab", 5), std::u16string_view(u"ab"));
  EXPECT_EQ(text::firstGraphemes(u"", 5), std::u16string_view(u""));
  EXPECT_EQ(text::firstGraphemes(u"abc", 0), std::u16string_view(u""));
}

struct EqualityCase {
  const char* name;
  std::u16string a;
  std::u16string b;
  bool equal;
};

class CanonicalEqualityTest : public ::testing::TestWithParam<EqualityCase> {};

TEST_P(CanonicalEqualityTest, ComparesDecompositions) {
  EXPECT_EQ(text::canonicallyEqual(GetParam().a, GetParam().b), GetParam().equal);
  EXPECT_EQ(text::canonicallyEqual(GetParam().b, GetParam().a), GetParam().equal);
  EXPECT_EQ(text::canonicallyEqual(text::toUtf8(GetParam().a), text::toUtf8(GetParam().b)),
            GetParam().equal || text::toUtf8(GetParam().a) == text::toUtf8(GetParam().b));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CanonicalEqualityTest,
    ::testing::Values(EqualityCase{"Identical", u"release", u"release", true},
                      EqualityCase{"CaseMatters", u"release", u"Release", false},
                      EqualityCase{"BlanksMatter", u"release", u"release ", false},
                      EqualityCase{"PrecomposedAndDecomposed", u"caf\u00e9", u"cafe\u0301", true},
                      EqualityCase{"CombiningOrder", u"a\u0323\u0301", u"a\u0301\u0323", true},
                      EqualityCase{"CompatibilityIsNotCanonical", u"\uFB01", u"fi", false},
                      EqualityCase{"HangulSyllableAndJamo", u"\uC571", u"\u110B\u1162\u11B8", true},
                      EqualityCase{"SameLoneSurrogate", std::u16string(1, char16_t(0xD800)),
                                   std::u16string(1, char16_t(0xD800)), true},
                      EqualityCase{"DifferentLoneSurrogates", std::u16string(1, char16_t(0xD800)),
                                   std::u16string(1, char16_t(0xDC00)), false},
                      EqualityCase{"EmptyStrings", u"", u"", true}),
    [](const auto& info) { return std::string(info.param.name); });

// Comparing only the differing middle must agree with decomposing both texts whole. Texts are
// drawn from characters that interact under normalisation (precomposed letters, combining marks
// of different classes, Hangul syllables and jamo, a decomposing astral character, lone
// surrogates), with shared context around a small edit.
TEST(TextTest, CanonicalEqualityAgreesWithWholeDecomposition) {
  const std::u16string pieces[] = {u"a",
                                   u"e",
                                   u"\u00e9",
                                   u"\u0301",
                                   u"\u0323",
                                   u"\u0300",
                                   u"\u1e0b",
                                   u"\u1e0d",
                                   u"\u0307",
                                   u"\uac00",
                                   u"\u1100",
                                   u"\u1161",
                                   u"\u11a8",
                                   u"\U0001D15E",
                                   u"\U0001D157\U0001D165",
                                   std::u16string(1, char16_t(0xD834)),
                                   std::u16string(1, char16_t(0xDD65)),
                                   u"\u0344",
                                   u"\u0308\u0301"};
  std::mt19937 random(20261210);
  const auto draw = [&](int n) {
    std::u16string out;
    for (int i = 0; i < n; ++i) out += pieces[random() % std::size(pieces)];
    return out;
  };
  int equal = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::u16string before = draw(static_cast<int>(random() % 4));
    const std::u16string after = draw(static_cast<int>(random() % 4));
    const std::u16string a = before + draw(static_cast<int>(random() % 4)) + after;
    std::u16string b = before + draw(static_cast<int>(random() % 4)) + after;
    if (round % 3 == 0) b = text::decomposed(a);  // equal by construction
    const bool expected = text::decomposed(a) == text::decomposed(b);
    equal += expected;
    ASSERT_EQ(text::canonicallyEqual(a, b), expected)
        << "round " << round << ": " << text::toUtf8(a) << " / " << text::toUtf8(b);
  }
  EXPECT_GT(equal, 6000);  // both outcomes are well exercised
}

TEST(TextTest, BlankIsTheWhitespaceAndNewlineSet) {
  for (const std::u16string& blank :
       {std::u16string(), std::u16string(u" \t\n\r\v\f"), std::u16string(u"\u0085\u00A0"),
        std::u16string(u"\u2028\u2029\u3000\u2003\u1680")}) {
    EXPECT_TRUE(text::isBlank(blank)) << text::toUtf8(blank);
  }
  for (const std::u16string& text :
       {std::u16string(u" a "), std::u16string(u"\u200B"), std::u16string(u"\uFEFF"),
        std::u16string(u"\u180E"), std::u16string(1, char16_t(0xD800))}) {
    EXPECT_FALSE(text::isBlank(text)) << text::toUtf8(text);
  }
}

}  // namespace
