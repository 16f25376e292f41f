// The four functions through which the operations reach the desktop. Each gives a usable value or
// none and never says why; every temporary reference they make is released before they return.
#pragma once

#include <optional>
#include <string>

#include "desktop/desktop.h"

namespace desktop {

// Bounds every call on an application's element, so a hung application costs one slow refusal.
constexpr float kMessagingTimeoutSeconds = 1.0f;

// Asked on the main thread while the calling (worker) thread waits.
std::optional<RunningApplication> frontmostApplication(Desktop& desktop);

// The control that has keyboard focus in the application with this process id.
ElementRef focused(Desktop& desktop, Pid pid);

// The attribute's value; none when the read fails or the attribute has no value.
std::optional<Value> attribute(Desktop& desktop, const Element& element, const std::string& name);

// The attribute's value when it is text; none for a failed read, no value, or another kind.
std::optional<std::u16string> stringAttribute(Desktop& desktop, const Element& element,
                                              const std::string& name);

}  // namespace desktop
