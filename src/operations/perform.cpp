#include "operations/perform.h"

#include "operations/capture.h"
#include "operations/insert.h"
#include "text/unicode.h"

namespace operations {

std::optional<Target> target;

// Built member by member: the initializer-list form costs more than the request's whole parse.
JsonObject refusal(const char* code) {
  JsonObject response = JsonObject::object();
  response["ok"] = false;
  response["error"] = code;
  return response;
}

namespace {

JsonObject dispatch(desktop::Desktop& desktop, const JsonObject& request) {
  if (!request.is_object() || request.empty()) return refusal("invalid_request");
  const auto op = request.find("op");
  if (op == request.end() || !op->is_string()) return refusal("invalid_request");
  const std::string& name = op->get_ref<const std::string&>();
  if (text::canonicallyEqual(name, "permissions")) {
    JsonObject response = JsonObject::object();
    response["ok"] = true;
    response["accessibility"] = desktop.isProcessTrusted();
    return response;
  }
  if (text::canonicallyEqual(name, "release")) {
    target.reset();
    JsonObject response = JsonObject::object();
    response["ok"] = true;
    return response;
  }
  if (text::canonicallyEqual(name, "capture")) return capture(desktop);
  if (text::canonicallyEqual(name, "insert")) return insert(desktop, request);
  return refusal("invalid_request");
}

}  // namespace

JsonObject perform(desktop::Desktop& desktop, const JsonObject& request) {
  try {
    return dispatch(desktop, request);
  } catch (...) {
    // Only allocation can fail here. The slot may be half-way through a change; empty it so the
    // state table still holds (an empty slot refuses the next insert, which is safe).
    target.reset();
    return refusal("unavailable");
  }
}

}  // namespace operations
