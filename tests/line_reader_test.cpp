// Framing of standard input: terminators, the last line, and bounded memory for long lines.
#include "service/line_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// Feeds `input` through a pipe (in chunks of `chunk` bytes) and collects the lines read.
std::vector<std::string> linesOf(const std::string& input, std::size_t keep,
                                 std::size_t chunk = 1 << 20) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    for (std::size_t at = 0; at < input.size(); at += chunk) {
      const std::size_t n = std::min(chunk, input.size() - at);
      EXPECT_EQ(write(fds[1], input.data() + at, n), static_cast<ssize_t>(n));
    }
    close(fds[1]);
  });
  service::LineReader reader(fds[0], keep);
  std::vector<std::string> lines;
  std::string line;
  while (reader.next(line)) lines.push_back(line);
  writer.join();
  close(fds[0]);
  return lines;
}

using Lines = std::vector<std::string>;

struct Case {
  const char* name;
  std::string input;
  Lines lines;
};

class LineReaderTest : public ::testing::TestWithParam<Case> {};

TEST_P(LineReaderTest, SplitsLikeThis) {
  EXPECT_EQ(linesOf(GetParam().input, 10), GetParam().lines);
  EXPECT_EQ(linesOf(GetParam().input, 10, 1), GetParam().lines) << "one byte at a time";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineReaderTest,
    ::testing::Values(
        Case{"EmptyInput", "", {}}, Case{"OneLine", "abc\n", {"abc"}},
        Case{"NoFinalLf", "abc\ndef", {"abc", "def"}},
        Case{"CrLf", "abc\r\ndef\r\n", {"abc", "def"}}, Case{"CrInsideKept", "a\rb\n", {"a\rb"}},
        Case{"CrAtEndWithoutLfKept", "abc\r", {"abc\r"}},
        Case{"TwoCrsOneRemoved", "a\r\r\n", {"a\r"}}, Case{"EmptyLines", "\n\r\n\n", {"", "", ""}},
        Case{"LoneCr", "\r", {"\r"}},
        Case{"LongLineKeepsItsStart", "0123456789abcdef\r\nok\n", {"0123456789", "ok"}},
        Case{"ExactlyKeptWithCr", "012345678\r\n", {"012345678"}},
        Case{"LongLineNoLf", "0123456789abcdef", {"0123456789"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineReaderLongTest, ManyMegabytesCostOnlyTheKeptBytes) {
  const std::string huge(8 << 20, 'x');
  const Lines lines = linesOf(huge + "\nnext\n", 100, 65536);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(100, 'x'));
  EXPECT_EQ(lines[0].capacity() < 4096, true);
  EXPECT_EQ(lines[1], "next");
}

}  // namespace
