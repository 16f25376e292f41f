// An in-memory desktop: plain data that tests arrange, and logs of what the system asked and
// posted. It plays applications, their focused controls and how they take typed text; faults of
// single calls come from a DesktopWrapper around it.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "desktop/desktop.h"
#include "desktop/typing.h"

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
  // Whether the control takes text directly (an editable-text interface). Without it a posted
  // text is typed as key presses, which go wherever the keyboard focus is.
  bool editableText = true;
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
  int control = 0;  // the control the post was addressed to
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

  // The keyboard that typed text goes through: the characters with a key of their own, the
  // spare keys that other characters are bound to (a batch at a time), and until when the user
  // holds a key (none: no key is held).
  std::u32string ownKeys =
      U" !\"#$%&'()*+,-./"
      U"0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~\n";
  std::size_t spareKeys = 4;
  std::optional<std::chrono::nanoseconds> keysHeldUntil;
  // What the user does while the system works, each at its moment on the monotonic clock: moves
  // the focus, raises another application, while a text is being typed.
  struct Happening {
    std::chrono::nanoseconds at;
    std::function<void(SimulatedDesktop&)> change;
  };
  std::vector<Happening> happenings;
  // Typing in progress goes one step each time this much time has passed.
  std::chrono::nanoseconds typingStep{std::chrono::milliseconds(2)};

  std::vector<std::string> asked;  // every call, in order, with its arguments
  std::vector<Posted> posted;
  std::vector<std::string> typing;  // what typing did: batches pressed, keymap changes, its end
  int keymapChanges = 0;
  int prompts = 0;
  long liveElements() const { return liveElements_; }

  // Runs the typing in progress to its end, as a request that waits for it does, and as time
  // passing in the applications does.
  void finishTyping();

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
  PostResult postKeyboardEvent(Pid pid, const PostTarget& into,
                               const KeyboardEvent& event) override;
  double now() override;
  std::chrono::nanoseconds monotonicNow() override;
  void pause(std::chrono::nanoseconds duration) override;

 private:
  friend class SimulatedElement;
  friend class SimulatedKeyboard;
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

  void advanceTyping(std::chrono::nanoseconds until);
  void happen(std::chrono::nanoseconds until);

  long liveElements_ = 0;
  std::vector<PendingEdit> pending_;
  std::unique_ptr<typing::TypingHost> keyboard_;
  std::unique_ptr<typing::TypingJob> job_;
  std::chrono::nanoseconds nextTypingStep_{0};
};

}  // namespace desktop::simulated
