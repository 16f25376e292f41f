#include "desktop/accessibility.h"

#include "desktop/main_queue.h"

namespace desktop {

// A backend that throws (out of memory, say) is a failed read like any other.
std::optional<RunningApplication> frontmostApplication(Desktop& desktop) {
  return mainQueue().call([&]() -> std::optional<RunningApplication> {
    try {
      return desktop.frontmostApplication();
    } catch (...) {
      return std::nullopt;
    }
  });
}

ElementRef focused(Desktop& desktop, Pid pid) {
  try {
    const ElementRef application = desktop.applicationElement(pid);
    if (!application) return nullptr;
    desktop.setMessagingTimeout(*application, kMessagingTimeoutSeconds);
    AttributeResult result = desktop.copyAttributeValue(*application, "AXFocusedUIElement");
    if (result.code != kSuccess || !result.value) return nullptr;
    if (auto* element = std::get_if<ElementRef>(&*result.value)) return std::move(*element);
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

std::optional<Value> attribute(Desktop& desktop, const Element& element, const std::string& name) {
  try {
    AttributeResult result = desktop.copyAttributeValue(element, name);
    if (result.code != kSuccess) return std::nullopt;
    return std::move(result.value);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::u16string> stringAttribute(Desktop& desktop, const Element& element,
                                              const std::string& name) {
  std::optional<Value> value = attribute(desktop, element, name);
  if (!value) return std::nullopt;
  if (auto* text = std::get_if<std::u16string>(&*value)) return std::move(*text);
  return std::nullopt;
}

}  // namespace desktop
