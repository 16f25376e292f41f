#pragma once

#include <chrono>
#include <string>
#include <variant>

#include "operations/perform.h"

namespace operations {

constexpr double kMaxTargetAgeSeconds = 600.0;
constexpr std::size_t kMaxTextUnits = 30000;
constexpr int64_t kMaxValueUnits = 1000000;
constexpr std::chrono::milliseconds kConfirmationWindow{500};
constexpr std::chrono::milliseconds kConfirmationPause{50};

// What the checks hand to delivery: everything it needs, read from the fresh element.
struct InsertPlan {
  desktop::Pid pid = 0;
  desktop::ElementRef element;  // equal to the target's element; every later read goes here
  std::u16string value;         // the control's value before the insertion
  desktop::Range selection;     // the range of `value` that the text replaces
  std::u16string expected;      // the value once the text has replaced the selection
  std::u16string text;          // the request's text exactly as received
};

// Takes the target out of the slot and checks that the request and the control still fit it.
// Gives a refusal or a plan.
std::variant<JsonObject, InsertPlan> planInsert(desktop::Desktop& desktop,
                                                const JsonObject& request);

// Posts the text as one key press into the plan's control and reads it back until it shows
// `expected`.
JsonObject deliver(desktop::Desktop& desktop, const InsertPlan& plan);

// Replaces the selection of the captured control with the request's "text".
JsonObject insert(desktop::Desktop& desktop, const JsonObject& request);

}  // namespace operations
