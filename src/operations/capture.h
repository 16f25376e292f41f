#pragma once

#include "operations/perform.h"

namespace operations {

// Capture limits.
constexpr std::size_t kMaxSelectedTextGraphemes = 30000;
// The name given to an application that has none of its own.
constexpr char16_t kUnnamedApplication[] = u"\uC571";

// Remembers the focused control of the frontmost application and returns a fresh token, the
// application's name and the selected text.
JsonObject capture(desktop::Desktop& desktop);

// A random version 4 UUID from the kernel's cryptographic randomness, upper-case canonical form;
// none when the kernel gives no randomness.
std::optional<std::string> newToken();

}  // namespace operations
