#include "desktop/simulated/simulated_desktop.h"

#include <algorithm>

#include "text/unicode.h"

namespace desktop::simulated {

class SimulatedElement : public Element {
 public:
  SimulatedElement(SimulatedDesktop& owner, bool application, int id)
      : owner_(owner), application_(application), id_(id) {
    ++owner_.liveElements_;
  }
  ~SimulatedElement() override { --owner_.liveElements_; }

  bool application() const { return application_; }
  int id() const { return id_; }
  std::string describe() const {
    return (application_ ? "app:" : "control:") + std::to_string(id_);
  }

 private:
  SimulatedDesktop& owner_;
  bool application_;
  int id_;
};

namespace {

const SimulatedElement& simulated(const Element& element) {
  return static_cast<const SimulatedElement&>(element);
}

std::u16string utf16Slice(const std::u16string& value, Range range) {
  const auto n = static_cast<int64_t>(value.size());
  if (range.location < 0 || range.length < 0 || range.location > n ||
      range.length > n - range.location) {
    return {};
  }
  return value.substr(static_cast<std::size_t>(range.location),
                      static_cast<std::size_t>(range.length));
}

void replaceSelection(Control& control, std::u16string_view text) {
  const auto n = static_cast<int64_t>(control.value.size());
  const int64_t at = std::clamp<int64_t>(control.selection.location, 0, n);
  const int64_t length = std::clamp<int64_t>(control.selection.length, 0, n - at);
  control.value.replace(static_cast<std::size_t>(at), static_cast<std::size_t>(length), text);
  control.selection = {at + static_cast<int64_t>(text.size()), 0};
}

}  // namespace

// The keyboard as typing sees it: key presses land in the control that has the focus in the
// application in front, whichever that is.
class SimulatedKeyboard : public typing::TypingHost {
 public:
  SimulatedKeyboard(SimulatedDesktop& desktop, Pid pid, int control, const PostTarget& into,
                    std::u32string text)
      : desktop_(desktop),
        pid_(pid),
        control_(control),
        value_(into.value),
        selection_(into.selection),
        text_(std::move(text)) {}

  bool hasOwnKey(char32_t c) override { return desktop_.ownKeys.find(c) != std::u32string::npos; }
  std::size_t spareKeys() override { return desktop_.spareKeys; }
  bool keysHeld() override {
    return desktop_.keysHeldUntil && desktop_.monotonic < *desktop_.keysHeldUntil;
  }
  bool focusHolds() override {
    if (desktop_.frontmost != pid_) return false;
    const auto application = desktop_.applications.find(pid_);
    return application != desktop_.applications.end() &&
           application->second.focusedControl == control_;
  }
  bool shows(std::size_t typed) override {
    const auto found = desktop_.controls.find(control_);
    if (found == desktop_.controls.end()) return false;
    const Control& control = found->second;
    // Before the first key: what was checked. After: the typed part in place of the selection,
    // the caret after it.
    if (typed == 0) return control.value == value_ && control.selection == selection_;
    const std::u16string inserted =
        text::fromCodePoints(std::u32string_view(text_).substr(0, typed));
    std::u16string expected = value_;
    expected.replace(static_cast<std::size_t>(selection_.location),
                     static_cast<std::size_t>(selection_.length), inserted);
    const Range caret{selection_.location + static_cast<int64_t>(inserted.size()), 0};
    return control.value == expected && control.selection == caret;
  }
  bool press(const typing::Batch& batch, std::u32string_view characters) override {
    if (!batch.bound.empty()) ++desktop_.keymapChanges;
    desktop_.typing.push_back("press " + std::to_string(characters.size()) + " bind " +
                              std::to_string(batch.bound.size()));
    if (!desktop_.frontmost) return true;
    const auto application = desktop_.applications.find(*desktop_.frontmost);
    if (application == desktop_.applications.end() || !application->second.focusedControl ||
        application->second.applyAfterReads < 0) {
      return true;
    }
    const auto control = desktop_.controls.find(*application->second.focusedControl);
    if (control != desktop_.controls.end()) {
      replaceSelection(control->second, text::fromCodePoints(characters));
    }
    return true;
  }
  void restore() override {
    if (desktop_.keymapChanges > 0) ++desktop_.keymapChanges;
    desktop_.typing.push_back("restore");
  }

 private:
  SimulatedDesktop& desktop_;
  Pid pid_;
  int control_;
  std::u16string value_;
  Range selection_;
  std::u32string text_;
};

SimulatedDesktop::SimulatedDesktop() = default;
SimulatedDesktop::~SimulatedDesktop() = default;

void SimulatedDesktop::happen(std::chrono::nanoseconds until) {
  for (auto it = happenings.begin(); it != happenings.end();) {
    if (it->at > until) {
      ++it;
      continue;
    }
    const auto change = std::move(it->change);
    it = happenings.erase(it);
    change(*this);
  }
}

void SimulatedDesktop::advanceTyping(std::chrono::nanoseconds until) {
  happen(until);
  while (job_ && nextTypingStep_ <= until) {
    happen(nextTypingStep_);
    const auto wait = job_->step(nextTypingStep_);
    if (!wait) {
      typing.push_back("end " + std::to_string(static_cast<int>(job_->end())) + " typed " +
                       std::to_string(job_->typed()));
      job_.reset();
      keyboard_.reset();
      return;
    }
    nextTypingStep_ += std::max(*wait, typingStep);
  }
}

void SimulatedDesktop::finishTyping() {
  while (job_) {
    monotonic = std::max(monotonic, nextTypingStep_);
    advanceTyping(monotonic);
  }
}

Control& SimulatedDesktop::focusApplication(Pid pid, std::u16string name, int controlId) {
  Application& application = applications[pid];
  application.name = std::move(name);
  application.focusedControl = controlId;
  frontmost = pid;
  return controls[controlId];
}

bool SimulatedDesktop::isProcessTrusted() {
  asked.push_back("isProcessTrusted");
  return trusted;
}

bool SimulatedDesktop::isProcessTrustedWithPrompt() {
  asked.push_back("isProcessTrustedWithPrompt");
  const bool answer = trusted;
  if (!answer) {
    ++prompts;
    if (promptGrants) trusted = true;
  }
  return answer;
}

std::optional<RunningApplication> SimulatedDesktop::frontmostApplication() {
  finishTyping();
  asked.push_back("frontmostApplication");
  if (!frontmost) return std::nullopt;
  const auto found = applications.find(*frontmost);
  if (found == applications.end()) return std::nullopt;
  return RunningApplication{*frontmost, found->second.name};
}

ElementRef SimulatedDesktop::applicationElement(Pid pid) {
  finishTyping();
  asked.push_back("applicationElement " + std::to_string(pid));
  return std::make_unique<SimulatedElement>(*this, true, pid);
}

int SimulatedDesktop::setMessagingTimeout(const Element& application, float seconds) {
  asked.push_back("setMessagingTimeout " + simulated(application).describe() + " " +
                  std::to_string(seconds));
  return kSuccess;
}

AttributeResult SimulatedDesktop::read(const Attribute& attribute) {
  struct Reader {
    SimulatedDesktop& desktop;
    AttributeResult operator()(const Fails& fails) { return {fails.code, std::nullopt}; }
    AttributeResult operator()(const Missing&) { return {kSuccess, std::nullopt}; }
    AttributeResult operator()(const ControlRef& ref) {
      return {kSuccess, Value(std::make_unique<SimulatedElement>(desktop, false, ref.control))};
    }
    AttributeResult operator()(const std::u16string& s) { return {kSuccess, Value(s)}; }
    AttributeResult operator()(double number) { return {kSuccess, Value(number)}; }
    AttributeResult operator()(const AccessibilityValue& v) { return {kSuccess, Value(v)}; }
    AttributeResult operator()(const OtherValue& v) { return {kSuccess, Value(v)}; }
  };
  return std::visit(Reader{*this}, attribute);
}

AttributeResult SimulatedDesktop::readApplication(Pid pid, const std::string& name) {
  const auto found = applications.find(pid);
  if (found == applications.end()) return {kCannotComplete, std::nullopt};
  const Application& application = found->second;
  if (name != "AXFocusedUIElement") return {kFailure, std::nullopt};
  if (application.focusedAttribute) return read(*application.focusedAttribute);
  if (!application.focusedControl) return {kSuccess, std::nullopt};
  return read(ControlRef{*application.focusedControl});
}

AttributeResult SimulatedDesktop::readControl(int id, const std::string& name) {
  const auto found = controls.find(id);
  if (found == controls.end()) return {kCannotComplete, std::nullopt};
  const Control& control = found->second;
  if (name == "AXValue") {
    for (auto edit = pending_.begin(); edit != pending_.end(); ++edit) {
      if (edit->control != id) continue;
      if (edit->readsLeft > 0) {
        --edit->readsLeft;
        if (edit->readsFail) return {kCannotComplete, std::nullopt};
        break;
      }
      Control& edited = controls[id];
      edited.value = std::move(edit->value);
      edited.selection = edit->selection;
      pending_.erase(edit);
      break;
    }
  }
  const auto set = control.attributes.find(name);
  if (set != control.attributes.end()) return read(set->second);
  if (name == "AXRole") return read(control.role);
  if (name == "AXSubrole") return control.subrole ? read(*control.subrole) : read(Missing{});
  if (name == "AXValue") return read(control.value);
  if (name == "AXSelectedText") return read(utf16Slice(control.value, control.selection));
  if (name == "AXSelectedTextRange") {
    return read(AccessibilityValue{AccessibilityValue::kRangeType, control.selection});
  }
  return {kFailure, std::nullopt};
}

AttributeResult SimulatedDesktop::copyAttributeValue(const Element& element,
                                                     const std::string& name) {
  finishTyping();
  const SimulatedElement& e = simulated(element);
  asked.push_back("copyAttributeValue " + e.describe() + " " + name);
  return e.application() ? readApplication(e.id(), name) : readControl(e.id(), name);
}

SettableResult SimulatedDesktop::isAttributeSettable(const Element& element,
                                                     const std::string& name) {
  finishTyping();
  const SimulatedElement& e = simulated(element);
  asked.push_back("isAttributeSettable " + e.describe() + " " + name);
  const auto found = controls.find(e.id());
  if (e.application() || found == controls.end()) return {kCannotComplete, false};
  if (name != "AXSelectedText") return {kSuccess, false};
  return found->second.selectedTextSettable;
}

bool SimulatedDesktop::equal(const Element& a, const Element& b) {
  const SimulatedElement& left = simulated(a);
  const SimulatedElement& right = simulated(b);
  asked.push_back("equal " + left.describe() + " " + right.describe());
  return left.application() == right.application() && left.id() == right.id();
}

std::optional<KeyboardEvent> SimulatedDesktop::createKeyboardEvent(uint16_t virtualKey,
                                                                   bool keyDown) {
  asked.push_back(std::string("createKeyboardEvent ") + (keyDown ? "down" : "up"));
  return KeyboardEvent{virtualKey, keyDown, ~uint64_t{0}, {}};
}

PostResult SimulatedDesktop::postKeyboardEvent(Pid pid, const PostTarget& into,
                                               const KeyboardEvent& event) {
  const SimulatedElement& element = simulated(into.element);
  asked.push_back(std::string("postKeyboardEvent ") + std::to_string(pid) + " " +
                  element.describe() + (event.keyDown ? " down" : " up"));
  posted.push_back({pid, event, element.id()});
  // A key press without text (the key-up) types nothing, and waits for nothing.
  if (!event.keyDown || event.text.empty()) return PostResult::kPosted;
  finishTyping();
  const auto found = applications.find(pid);
  const auto control = controls.find(element.id());
  if (found == applications.end() || control == controls.end()) return PostResult::kPosted;
  // Written only while the control shows what the checks read from it.
  if (control->second.value != into.value || control->second.selection != into.selection) {
    return PostResult::kTargetChanged;
  }
  const Application& application = found->second;

  if (!control->second.editableText) {
    const std::u32string characters = text::toCodePoints(event.text);
    if (!typing::typeable(characters, control->second.role == u"AXTextArea")) {
      return PostResult::kCannotBuild;
    }
    keyboard_ = std::make_unique<SimulatedKeyboard>(*this, pid, control->first, into, characters);
    job_ = std::make_unique<typing::TypingJob>(characters, *keyboard_);
    nextTypingStep_ = monotonic;
    advanceTyping(monotonic);  // the first batch goes at once
    return PostResult::kPosted;
  }

  if (application.applyAfterReads < 0) return PostResult::kPosted;
  std::u16string typed = event.text;
  if (application.applyUnits) typed.resize(std::min(typed.size(), *application.applyUnits));
  Control edited = control->second;
  replaceSelection(edited, typed);
  if (application.applyAfterReads == 0) {
    control->second = std::move(edited);
    return PostResult::kPosted;
  }
  pending_.push_back({control->first, std::move(edited.value), edited.selection,
                      application.applyAfterReads, application.readsFailUntilApplied});
  return PostResult::kPosted;
}

double SimulatedDesktop::now() { return wallClock; }

std::chrono::nanoseconds SimulatedDesktop::monotonicNow() { return monotonic; }

void SimulatedDesktop::pause(std::chrono::nanoseconds duration) {
  asked.push_back("pause " + std::to_string(duration.count()));
  monotonic += duration;
  happen(monotonic);
  advanceTyping(monotonic);
  wallClock += std::chrono::duration<double>(duration).count();
}

}  // namespace desktop::simulated
