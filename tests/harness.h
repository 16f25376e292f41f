// Shared fixture: a simulated desktop, an empty target slot before and after every test, and a
// check that no element reference outlives its request but the one the slot holds.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "desktop/simulated/simulated_desktop.h"
#include "operations/perform.h"
#include "service/protocol.h"

namespace testing_support {

// `s` written `count` times over.
template <typename Char>
std::basic_string<Char> repeat(const std::basic_string<Char>& s, std::size_t count) {
  std::basic_string<Char> out;
  out.reserve(s.size() * count);
  for (std::size_t i = 0; i < count; ++i) out += s;
  return out;
}
inline std::string repeat(const char* s, std::size_t count) {
  return repeat(std::string(s), count);
}
inline std::u16string repeat(const char16_t* s, std::size_t count) {
  return repeat(std::u16string(s), count);
}

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override { operations::target.reset(); }
  void TearDown() override {
    const long held = operations::target ? 1 : 0;
    EXPECT_EQ(desktop.liveElements(), held) << "element references outlived their request";
    operations::target.reset();
    EXPECT_EQ(desktop.liveElements(), 0);
  }

  // One request line through the protocol; the response line without its LF.
  std::string send(desktop::Desktop& d, const std::string& line) {
    std::string response = service::handleLine(d, line);
    EXPECT_EQ(response.back(), '\n');
    EXPECT_EQ(response.find('\n'), response.size() - 1) << "more than one line";
    response.pop_back();
    return response;
  }
  std::string send(const std::string& line) { return send(desktop, line); }

  desktop::simulated::SimulatedDesktop desktop;
};

}  // namespace testing_support
