// Time from the operating system's clocks, shared by the real backends; and the desktop of a
// machine with no desktop session, which grants nothing and answers every question at once.
#pragma once

#include "desktop/desktop.h"

namespace desktop {

class SystemClockDesktop : public Desktop {
 public:
  double now() override;
  std::chrono::nanoseconds monotonicNow() override;
  void pause(std::chrono::nanoseconds duration) override;
};

class AbsentDesktop : public SystemClockDesktop {
 public:
  bool isProcessTrusted() override { return false; }
  bool isProcessTrustedWithPrompt() override { return false; }
  std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
  ElementRef applicationElement(Pid pid) override;
  int setMessagingTimeout(const Element&, float) override { return kCannotComplete; }
  AttributeResult copyAttributeValue(const Element&, const std::string&) override {
    return {kCannotComplete, std::nullopt};
  }
  SettableResult isAttributeSettable(const Element&, const std::string&) override {
    return {kCannotComplete, false};
  }
  bool equal(const Element& a, const Element& b) override { return &a == &b; }
  std::optional<KeyboardEvent> createKeyboardEvent(uint16_t, bool) override { return std::nullopt; }
  void postKeyboardEvent(Pid, const KeyboardEvent&) override {}
};

}  // namespace desktop
