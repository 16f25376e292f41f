#include "service/protocol.h"

#include "operations/perform.h"
#include "service/json_writer.h"
#include "service/request_reader.h"
#include "text/unicode.h"

namespace service {
namespace {

using operations::JsonObject;

std::string respond(desktop::Desktop& desktop, std::string_view line) {
  // Size first, before any conversion or parsing, so an over-long line costs only its reading.
  if (line.size() > kMaxLineBytes) return std::string(kDefaultResponse);
  std::optional<JsonObject> read = readRequest(line);
  if (!read) return std::string(kDefaultResponse);
  const JsonObject& request = *read;
  const auto id = request.find("id");
  if (id == request.end() || !id->is_string()) return std::string(kDefaultResponse);
  const std::string& idText = id->get_ref<const std::string&>();
  // A cluster takes at least one byte, so a short id needs no segmentation.
  if (idText.size() > kMaxIdGraphemes &&
      text::countGraphemes(idText, kMaxIdGraphemes + 1) > kMaxIdGraphemes) {
    return std::string(kDefaultResponse);
  }
  JsonObject response = operations::perform(desktop, request);
  response["id"] = idText;
  return serialize(response);
}

}  // namespace

std::string handleLine(desktop::Desktop& desktop, std::string_view line) {
  std::string out;
  try {
    out = respond(desktop, line);
  } catch (...) {
    // Only allocation can fail; the parent still gets its one line.
    out = std::string(kDefaultResponse);
  }
  out += '\n';
  return out;
}

}  // namespace service
