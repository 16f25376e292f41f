#include "operations/insert.h"

#include <array>

#include "desktop/accessibility.h"
#include "text/unicode.h"

namespace operations {
namespace {

constexpr std::array<std::u16string_view, 2> kAcceptedRoles = {u"AXTextField", u"AXTextArea"};

const std::string* stringMember(const JsonObject& request, const char* key) {
  const auto found = request.find(key);
  if (found == request.end() || !found->is_string()) return nullptr;
  return &found->get_ref<const std::string&>();
}

bool isAcceptedRole(std::u16string_view role) {
  for (const std::u16string_view accepted : kAcceptedRoles) {
    if (text::canonicallyEqual(role, accepted)) return true;
  }
  return false;
}

}  // namespace

std::variant<JsonObject, InsertPlan> planInsert(desktop::Desktop& desktop,
                                                const JsonObject& request) {
  // The target serves this one attempt whatever happens next.
  std::optional<Target> taken = std::move(target);
  target.reset();
  if (!taken) return refusal("target_changed");

  const std::string* token = stringMember(request, "token");
  if (token == nullptr || !text::canonicallyEqual(*token, taken->token)) {
    return refusal("target_changed");
  }
  // A clock set back gives a negative age, which passes.
  const double age = desktop.now() - taken->created;
  if (!(age < kMaxTargetAgeSeconds)) return refusal("target_changed");

  const std::string* requestText = stringMember(request, "text");
  if (requestText == nullptr) return refusal("target_changed");
  std::u16string text = text::toUtf16(*requestText);
  if (text::isBlank(text)) return refusal("target_changed");
  if (text.size() > kMaxTextUnits) return refusal("target_changed");

  const auto application = desktop::frontmostApplication(desktop);
  if (!application || application->pid != taken->pid) return refusal("target_changed");
  desktop::ElementRef element = desktop::focused(desktop, taken->pid);
  if (!element || !desktop.equal(*element, *taken->element)) return refusal("target_changed");

  const auto subrole = desktop::stringAttribute(desktop, *element, "AXSubrole");
  if (subrole && text::canonicallyEqual(*subrole, u"AXSecureTextField")) {
    return refusal("unsafe_input");
  }
  const std::u16string role = desktop::stringAttribute(desktop, *element, "AXRole").value_or(u"");
  if (!isAcceptedRole(role)) return refusal("unsafe_input");
  const desktop::SettableResult settable = desktop.isAttributeSettable(*element, "AXSelectedText");
  if (settable.code != desktop::kSuccess || !settable.settable) return refusal("unsafe_input");

  auto value = desktop::stringAttribute(desktop, *element, "AXValue");
  if (!value) return refusal("unsafe_input");
  const auto rangeValue = desktop::attribute(desktop, *element, "AXSelectedTextRange");
  const auto* accessibilityValue =
      rangeValue ? std::get_if<desktop::AccessibilityValue>(&*rangeValue) : nullptr;
  if (accessibilityValue == nullptr ||
      accessibilityValue->type != desktop::AccessibilityValue::kRangeType) {
    return refusal("unsafe_input");
  }
  const int64_t location = accessibilityValue->range.location;
  const int64_t length = accessibilityValue->range.length;
  const auto n = static_cast<int64_t>(value->size());
  // In this order, so that n - location cannot overflow.
  if (location < 0 || length < 0 || location > n || length > n - location || n > kMaxValueUnits) {
    return refusal("unsafe_input");
  }

  // The parent chose its text for the selection it was shown; a selection the user has moved
  // since is not the parent's to replace.
  const desktop::Range selection{location, length};
  if (!taken->selection || *taken->selection != selection ||
      !text::canonicallyEqual(std::u16string_view(*value).substr(static_cast<std::size_t>(location),
                                                                 static_cast<std::size_t>(length)),
                              taken->selectedText)) {
    return refusal("target_changed");
  }

  // Code units, not characters: a range may split a surrogate pair, and then so does `expected`.
  std::u16string expected;
  expected.reserve(value->size() - static_cast<std::size_t>(length) + text.size());
  expected.append(*value, 0, static_cast<std::size_t>(location));
  expected.append(text);
  expected.append(*value, static_cast<std::size_t>(location + length));

  return InsertPlan{taken->pid, std::move(element),  std::move(*value),
                    selection,  std::move(expected), std::move(text)};
}

JsonObject deliver(desktop::Desktop& desktop, const InsertPlan& plan) {
  auto keyDown = desktop.createKeyboardEvent(0, true);
  if (!keyDown) return refusal("unsafe_input");
  auto keyUp = desktop.createKeyboardEvent(0, false);
  if (!keyUp) return refusal("unsafe_input");
  keyDown->flags = 0;
  keyUp->flags = 0;
  keyDown->text = plan.text;

  // Focus and the front application may have changed while the key press was being built.
  const desktop::ElementRef again = desktop::focused(desktop, plan.pid);
  if (!again || !desktop.equal(*again, *plan.element)) return refusal("target_changed");
  const auto application = desktop::frontmostApplication(desktop);
  if (!application || application->pid != plan.pid) return refusal("target_changed");

  if (text::canonicallyEqual(plan.value, plan.expected)) return {{"ok", true}, {"inserted", true}};

  const desktop::PostTarget into{*plan.element, plan.value, plan.selection};
  switch (desktop.postKeyboardEvent(plan.pid, into, *keyDown)) {
    case desktop::PostResult::kPosted:
      break;
    case desktop::PostResult::kCannotBuild:
      return refusal("unsafe_input");
    case desktop::PostResult::kTargetChanged:
      return refusal("target_changed");
  }
  desktop.postKeyboardEvent(plan.pid, into, *keyUp);

  // The window runs on the monotonic clock: a wall clock set back during it must not keep the
  // worker polling (and every later request waiting) for as long as it went back.
  const auto deadline = desktop.monotonicNow() + kConfirmationWindow;
  for (;;) {
    const auto read = desktop::stringAttribute(desktop, *plan.element, "AXValue");
    if (read && text::canonicallyEqual(*read, plan.expected)) {
      return {{"ok", true}, {"inserted", true}};
    }
    desktop.pause(kConfirmationPause);
    if (!(desktop.monotonicNow() < deadline)) break;
  }
  return {{"ok", true}, {"inserted", false}, {"inputSent", true}};
}

JsonObject insert(desktop::Desktop& desktop, const JsonObject& request) {
  auto planned = planInsert(desktop, request);
  if (auto* response = std::get_if<JsonObject>(&planned)) return std::move(*response);
  return deliver(desktop, std::get<InsertPlan>(planned));
}

}  // namespace operations
