#include "desktop/simulated/simulated_desktop.h"

#include <algorithm>

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

}  // namespace

SimulatedDesktop::SimulatedDesktop() = default;
SimulatedDesktop::~SimulatedDesktop() = default;

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
  asked.push_back("frontmostApplication");
  if (!frontmost) return std::nullopt;
  const auto found = applications.find(*frontmost);
  if (found == applications.end()) return std::nullopt;
  return RunningApplication{*frontmost, found->second.name};
}

ElementRef SimulatedDesktop::applicationElement(Pid pid) {
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
  const SimulatedElement& e = simulated(element);
  asked.push_back("copyAttributeValue " + e.describe() + " " + name);
  return e.application() ? readApplication(e.id(), name) : readControl(e.id(), name);
}

SettableResult SimulatedDesktop::isAttributeSettable(const Element& element,
                                                     const std::string& name) {
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

void SimulatedDesktop::postKeyboardEvent(Pid pid, const KeyboardEvent& event) {
  asked.push_back(std::string("postKeyboardEvent ") + std::to_string(pid) +
                  (event.keyDown ? " down" : " up"));
  posted.push_back({pid, event});
  const auto found = applications.find(pid);
  if (!event.keyDown || event.text.empty() || found == applications.end()) return;
  const Application& application = found->second;
  if (!application.focusedControl || application.applyAfterReads < 0) return;
  const auto control = controls.find(*application.focusedControl);
  if (control == controls.end()) return;

  std::u16string typed = event.text;
  if (application.applyUnits) typed.resize(std::min(typed.size(), *application.applyUnits));
  std::u16string value = control->second.value;
  const Range selection = control->second.selection;
  const auto n = static_cast<int64_t>(value.size());
  const int64_t at = std::clamp<int64_t>(selection.location, 0, n);
  const int64_t length = std::clamp<int64_t>(selection.length, 0, n - at);
  value.replace(static_cast<std::size_t>(at), static_cast<std::size_t>(length), typed);
  const Range caret{at + static_cast<int64_t>(typed.size()), 0};
  if (application.applyAfterReads == 0) {
    control->second.value = std::move(value);
    control->second.selection = caret;
    return;
  }
  pending_.push_back({control->first, std::move(value), caret, application.applyAfterReads,
                      application.readsFailUntilApplied});
}

double SimulatedDesktop::now() { return wallClock; }

std::chrono::nanoseconds SimulatedDesktop::monotonicNow() { return monotonic; }

void SimulatedDesktop::pause(std::chrono::nanoseconds duration) {
  asked.push_back("pause " + std::to_string(duration.count()));
  monotonic += duration;
  wallClock += std::chrono::duration<double>(duration).count();
}

}  // namespace desktop::simulated
