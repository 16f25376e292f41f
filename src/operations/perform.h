// The door from the line protocol into the operations, and the one piece of state that outlives
// a request: the remembered insertion target.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "desktop/desktop.h"

namespace operations {

// Requests and responses. Its objects keep their keys in byte order, which is the wire order.
using JsonObject = nlohmann::json;

// The control that the last successful capture remembered.
struct Target {
  std::string token;
  desktop::ElementRef element;  // the record's own reference
  desktop::Pid pid = 0;
  double created = 0;  // wall-clock seconds
  // What the parent was shown: the selected range (none when it could not be read) and its text.
  // An insert replaces that selection or nothing.
  std::optional<desktop::Range> selection;
  std::u16string selectedText;
};

// Empty or one `Target`. Touched only by the worker thread, one request at a time.
extern std::optional<Target> target;

// Runs the request's "op" and returns its response. Never throws: every outcome is a response.
JsonObject perform(desktop::Desktop& desktop, const JsonObject& request);

JsonObject refusal(const char* code);

}  // namespace operations
