// An in-memory desktop: plain data that tests arrange, and logs of what the system asked and
// posted. It plays applications, their focused controls and how they take typed text; faults of
// single calls come from a DesktopWrapper around it.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "desktop/desktop.h"

namespace desktop::simulated {

// What an attribute read gives when a test sets it directly.
struct Fails {
  int code = kCannotComplete;
};
struct Missing {};  // the attribute exists but has no value
struct ControlRef {
  int control = 0;
};
using Attribute = std::variant<Fails, Missing, std::u16string, double, ControlRef,
                               AccessibilityValue, OtherValue>;

struct Control {
  std::u16string role = u"AXTextField";
  std::optional<std::u16string> subrole;
  std::u16string value;
  Range selection;  // in UTF-16 code units of `value`
  SettableResult selectedTextSettable{kSuccess, true};
  // Set attributes take the place of those derived from the fields above.
  std::map<std::string, Attribute> attributes;
};

struct Application {
  std::optional<std::u16string> name;
  std::optional<int> focusedControl;
  std::optional<Attribute> focusedAttribute;  // takes the place of `focusedControl`
  // How the application takes a posted text: value reads that still show the old value (-1:
  // the text never arrives), how many of its code units arrive (none: all), and whether value
  // reads fail until it has arrived.
  int applyAfterReads = 0;
  std::optional<std::size_t> applyUnits;
  bool readsFailUntilApplied = false;
};

struct Posted {
  Pid pid;
  KeyboardEvent event;
};

class SimulatedDesktop : public Desktop {
 public:
  SimulatedDesktop();
  ~SimulatedDesktop() override;

  bool trusted = true;
  bool promptGrants = false;  // a prompt makes the process trusted from the next question on
  std::optional<Pid> frontmost;
  std::map<Pid, Application> applications;
  std::map<int, Control> controls;
  double wallClock = 1.9e9;
  std::chrono::nanoseconds monotonic{std::chrono::hours(1000)};

  std::vector<std::string> asked;  // every call, in order, with its arguments
  std::vector<Posted> posted;
  int prompts = 0;
  long liveElements() const { return liveElements_; }

  // Convenience for tests: one application with one focused control; returns the control.
  Control& focusApplication(Pid pid, std::u16string name, int controlId);

  bool isProcessTrusted() override;
  bool isProcessTrustedWithPrompt() override;
  std::optional<RunningApplication> frontmostApplication() override;
  ElementRef applicationElement(Pid pid) override;
  int setMessagingTimeout(const Element& application, float seconds) override;
  AttributeResult copyAttributeValue(const Element& element, const std::string& name) override;
  SettableResult isAttributeSettable(const Element& element, const std::string& name) override;
  bool equal(const Element& a, const Element& b) override;
  std::optional<KeyboardEvent> createKeyboardEvent(uint16_t virtualKey, bool keyDown) override;
  void postKeyboardEvent(Pid pid, const KeyboardEvent& event) override;
  double now() override;
  std::chrono::nanoseconds monotonicNow() override;
  void pause(std::chrono::nanoseconds duration) override;

 private:
  friend class SimulatedElement;
  struct PendingEdit {
    int control;
    std::u16string value;
    Range selection;
    int readsLeft;
    bool readsFail;
  };

  AttributeResult read(const Attribute& attribute);
  AttributeResult readApplication(Pid pid, const std::string& name);
  AttributeResult readControl(int id, const std::string& name);

  long liveElements_ = 0;
  std::vector<PendingEdit> pending_;
};

}  // namespace desktop::simulated
