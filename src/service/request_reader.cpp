#include "service/request_reader.h"

#include <simdjson.h>

#include <array>
#include <cstddef>
#include <string>

#include "service/protocol.h"

namespace service {
namespace {

using operations::JsonObject;

constexpr std::array<std::string_view, 4> kKeysRead = {"id", "op", "text", "token"};

// A line of at most kMaxLineBytes bytes nests at most half as deep ("[[…]]").
constexpr std::size_t kMaxDepth = kMaxLineBytes / 2 + 1;

simdjson::dom::parser& parser() {
  // One per thread, kept: its buffers serve every request of that thread.
  thread_local simdjson::dom::parser instance(kMaxLineBytes);
  // Small to start with; it grows to the longest line seen, keeping its depth.
  thread_local const bool sized = instance.allocate(4096, kMaxDepth) == simdjson::SUCCESS;
  (void)sized;
  return instance;
}

}  // namespace

std::optional<JsonObject> readRequest(std::string_view line) {
  // A validating parser: strict RFC 8259 (no comments, no trailing commas, nothing after the
  // value), UTF-8 checked. An escaped lone surrogate, or a number beyond double's range, fails
  // like any other text that cannot be represented exactly.
  simdjson::dom::element root;
  if (parser().parse(line.data(), line.size(), /*realloc_if_needed=*/true).get(root) !=
      simdjson::SUCCESS) {
    return std::nullopt;
  }
  simdjson::dom::object members;
  if (root.get_object().get(members) != simdjson::SUCCESS) return std::nullopt;
  JsonObject request = JsonObject::object();
  for (const simdjson::dom::key_value_pair member : members) {
    for (const std::string_view read : kKeysRead) {
      if (member.key != read) continue;
      // Another type of value is kept as null: present, and no string to the operations. The
      // last of repeated keys wins.
      std::string_view text;
      if (member.value.get_string().get(text) == simdjson::SUCCESS) {
        request[read] = std::string(text);
      } else {
        request[read] = nullptr;
      }
    }
  }
  return request;
}

}  // namespace service
