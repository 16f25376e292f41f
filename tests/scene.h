// A small desktop for the operations: "Notes" (pid 42) in front with a focused text field
// (control 1) holding "Hello world" with "world" selected, a second field (control 2) in the same
// application, and "Other" (pid 43) with its own field (control 3).
#pragma once

#include <regex>
#include <string>

#include "harness.h"

namespace testing_support {

constexpr desktop::Pid kNotes = 42;
constexpr desktop::Pid kOther = 43;

inline void arrangeScene(desktop::simulated::SimulatedDesktop& d) {
  desktop::simulated::Control& field = d.focusApplication(kNotes, u"Notes", 1);
  field.value = u"Hello world";
  field.selection = {6, 5};
  d.controls[2].value = u"second";
  d.applications[kOther].name = u"Other";
  d.applications[kOther].focusedControl = 3;
  d.controls[3].value = u"other";
}

// Replaces the token in a capture response with <token>, after checking its form.
inline std::string maskToken(const std::string& response, std::string* token = nullptr) {
  static const std::regex kToken(
      R"re("token":"([0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12})")re");
  std::smatch match;
  if (!std::regex_search(response, match, kToken)) return response;
  if (token != nullptr) *token = match[1];
  return std::string(match.prefix()) + R"("token":"<token>")" + std::string(match.suffix());
}

class SceneTest : public DesktopTest {
 protected:
  void SetUp() override {
    DesktopTest::SetUp();
    arrangeScene(desktop);
  }

  // Captures through the protocol and returns the token (empty when the capture failed).
  std::string captureToken() {
    std::string token;
    maskToken(send(R"({"id":"c","op":"capture"})"), &token);
    return token;
  }

  std::string insertLine(const std::string& token, const std::string& textJson) {
    return R"({"id":"i","op":"insert","token":")" + token + R"(","text":)" + textJson + "}";
  }
};

}  // namespace testing_support
