// The narrow interface through which the operations reach the desktop: trust, the frontmost
// application, the focused control and its attributes, keyboard input, and time. Only `main` picks
// the real backend; tests pass the simulated one.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace desktop {

using Pid = int32_t;

// Result codes of accessibility calls: 0 is success, every other code means "no value".
constexpr int kSuccess = 0;
constexpr int kFailure = -25200;
constexpr int kNoValue = -25212;
constexpr int kCannotComplete = -25204;

// One reference to a user-interface element. Destroying the object releases the reference, so an
// owner (`ElementRef`) releases it exactly once on every path. Backends derive from it.
class Element {
 public:
  virtual ~Element() = default;
  Element() = default;
  Element(const Element&) = delete;
  Element& operator=(const Element&) = delete;
};
using ElementRef = std::unique_ptr<Element>;

struct Range {
  int64_t location = 0;
  int64_t length = 0;
  friend bool operator==(const Range&, const Range&) = default;
};

// An accessibility value: a typed record. Only values of type `kRangeType` hold a range.
struct AccessibilityValue {
  static constexpr int kRangeType = 4;
  int type = kRangeType;
  Range range;
};

// Any other kind of value an attribute can hold (an array, a date, ...): nothing the system reads.
struct OtherValue {
  std::string description;
};

// An attribute's value as the desktop hands it over: text (UTF-16, lone surrogates possible), a
// number, an element, an accessibility value, or something else.
using Value = std::variant<std::u16string, double, ElementRef, AccessibilityValue, OtherValue>;

struct AttributeResult {
  int code = kFailure;
  std::optional<Value> value;  // with code 0, none means the attribute exists without a value
};

struct SettableResult {
  int code = kFailure;
  bool settable = false;
};

struct RunningApplication {
  Pid pid = 0;
  std::optional<std::u16string> name;  // the display name, when the application has one
};

// A synthetic key press. A key-down may carry the text it types, as UTF-16 code units.
struct KeyboardEvent {
  uint16_t virtualKey = 0;
  bool keyDown = true;
  uint64_t flags = 0;
  std::u16string text;
};

// Where a posted key press may write: the control the insert checked, the value it showed then,
// and the range of that value (UTF-16 code units) that the text replaces. A desktop writes there
// or nowhere: never into whatever else has the focus by the time the text arrives.
struct PostTarget {
  const Element& element;
  std::u16string_view value;
  Range selection;
};

enum class PostResult {
  kPosted,         // on its way; only reading the control back tells whether it arrived
  kCannotBuild,    // the control cannot take this text as it stands; nothing was written
  kTargetChanged,  // the control lost the focus or no longer shows what was checked; nothing
                   // was written
};

class Desktop {
 public:
  virtual ~Desktop() = default;

  // Whether this process may use the accessibility services. Never asks the user.
  virtual bool isProcessTrusted() = 0;
  // The same question; when access is missing the desktop may ask the user to grant it.
  virtual bool isProcessTrustedWithPrompt() = 0;

  // The application in front, if any. Callers go through `frontmostApplication` in
  // accessibility.h, which runs this on the main thread.
  virtual std::optional<RunningApplication> frontmostApplication() = 0;

  // The element that stands for the application with this process id (never null; a process that
  // does not exist gives an element whose reads fail).
  virtual ElementRef applicationElement(Pid pid) = 0;
  // Bounds every later call on this application element.
  virtual int setMessagingTimeout(const Element& application, float seconds) = 0;
  virtual AttributeResult copyAttributeValue(const Element& element, const std::string& name) = 0;
  virtual SettableResult isAttributeSettable(const Element& element, const std::string& name) = 0;
  // Whether two references denote the same control.
  virtual bool equal(const Element& a, const Element& b) = 0;

  // None when the event cannot be created.
  virtual std::optional<KeyboardEvent> createKeyboardEvent(uint16_t virtualKey, bool keyDown) = 0;
  // Delivers a key press to the application with this process id, into `into` only.
  virtual PostResult postKeyboardEvent(Pid pid, const PostTarget& into,
                                       const KeyboardEvent& event) = 0;

  // Wall-clock seconds since the epoch: capture times and target ages.
  virtual double now() = 0;
  // A clock that never goes back, for bounding waits. Whole nanoseconds, so that a window of ten
  // pauses ends exactly when the tenth pause does.
  virtual std::chrono::nanoseconds monotonicNow() = 0;
  // Blocks the calling thread for at least this long.
  virtual void pause(std::chrono::nanoseconds duration) = 0;
};

// Forwards every call to another desktop; a test overrides the one call it wants to fail.
class DesktopWrapper : public Desktop {
 public:
  explicit DesktopWrapper(Desktop& target) : target_(target) {}
  Desktop& target() { return target_; }

  bool isProcessTrusted() override { return target_.isProcessTrusted(); }
  bool isProcessTrustedWithPrompt() override { return target_.isProcessTrustedWithPrompt(); }
  std::optional<RunningApplication> frontmostApplication() override {
    return target_.frontmostApplication();
  }
  ElementRef applicationElement(Pid pid) override { return target_.applicationElement(pid); }
  int setMessagingTimeout(const Element& application, float seconds) override {
    return target_.setMessagingTimeout(application, seconds);
  }
  AttributeResult copyAttributeValue(const Element& element, const std::string& name) override {
    return target_.copyAttributeValue(element, name);
  }
  SettableResult isAttributeSettable(const Element& element, const std::string& name) override {
    return target_.isAttributeSettable(element, name);
  }
  bool equal(const Element& a, const Element& b) override { return target_.equal(a, b); }
  std::optional<KeyboardEvent> createKeyboardEvent(uint16_t virtualKey, bool keyDown) override {
    return target_.createKeyboardEvent(virtualKey, keyDown);
  }
  PostResult postKeyboardEvent(Pid pid, const PostTarget& into,
                               const KeyboardEvent& event) override {
    return target_.postKeyboardEvent(pid, into, event);
  }
  double now() override { return target_.now(); }
  std::chrono::nanoseconds monotonicNow() override { return target_.monotonicNow(); }
  void pause(std::chrono::nanoseconds duration) override { target_.pause(duration); }

 private:
  Desktop& target_;
};

}  // namespace desktop
